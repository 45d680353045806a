// A service build running as a child process on a private socket, with clients for it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "printxpc/builds.h"
#include "printxpc/client.h"
#include "support/process.h"

namespace printxpc::testing {

class RunningService {
 public:
  explicit RunningService(const std::string& buildId = "a");
  ~RunningService();
  RunningService(const RunningService&) = delete;
  RunningService& operator=(const RunningService&) = delete;

  ServiceClient connect() const;
  // One request on a connection of its own; a transport failure is returned as
  // "transport error: ..." so that it never passes for a reply.
  std::string call(std::string_view selector, std::string_view request) const;
  static std::string replyOf(Result<std::string> result);

  const std::string& dir() const { return dir_; }
  const std::string& socketPath() const { return socket_; }
  ChildProcess& process() { return process_; }

 private:
  std::string dir_;
  std::string socket_;
  std::string protocol_;
  ChildProcess process_;
};

}  // namespace printxpc::testing
