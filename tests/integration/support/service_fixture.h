// A service build running as a child process on a private socket, with clients for it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "printxpc/builds.h"
#include "printxpc/client.h"
#include "support/process.h"

namespace printxpc::test_support {

// Turns the service's own command line into the one to start, given the service's private
// directory: e.g. to run it in a mount namespace of its own.
using LaunchWrapper =
    std::function<std::vector<std::string>(const std::string& dir, std::vector<std::string>)>;

class RunningService {
 public:
  explicit RunningService(const std::string& buildId = "a", const LaunchWrapper& wrap = {});
  ~RunningService();
  RunningService(const RunningService&) = delete;
  RunningService& operator=(const RunningService&) = delete;

  ServiceClient connect() const;
  // For threads, where a failed connect() cannot fail the test.
  Result<ServiceClient> tryConnect() const;
  // One request on a connection of its own; a transport failure is returned as
  // "transport error: ..." so that it never passes for a reply.
  std::string call(std::string_view selector, std::string_view request) const;
  static std::string replyOf(Result<std::string> result);

  const std::string& dir() const { return dir_; }
  const std::string& socketPath() const { return socket_; }
  ChildProcess& process() { return process_; }
  pid_t pid() const { return process_.pid(); }

 private:
  std::string dir_;
  std::string socket_;
  std::string protocol_;
  ChildProcess process_;
};

}  // namespace printxpc::test_support
