// Socket activation as systemd's socket units do it, for the integration tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "service/socket/listen_socket.h"
#include "support/process.h"

namespace printxpc::test_support {

// Serves the socket the way systemd's socket units do: the listening socket stays open
// here, and a service process is started whenever a connection waits and none runs.
class SocketActivator {
 public:
  explicit SocketActivator(const std::string& path) {
    auto listening = listenAt(path);
    EXPECT_TRUE(listening);
    if (listening) {
      listener_ = std::move(listening->socket);
    }
  }
  // Starts a service when a connection is pending and the previous one has ended.
  void serveOnce(const std::vector<std::string>& argv) {
    pollfd pending{listener_.get(), POLLIN, 0};
    if (::poll(&pending, 1, 0) != 1 || (service_.pid() > 0 && service_.running())) {
      return;
    }
    ++starts_;
    service_ = spawn(argv);
  }
  // Runs the client on a thread of its own and starts services for it until it is done.
  template <typename Client>
  auto serveWhile(const std::vector<std::string>& argv, Client client) {
    auto pending = std::async(std::launch::async, std::move(client));
    while (pending.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
      serveOnce(argv);
    }
    return pending.get();
  }
  int starts() const { return starts_; }
  ChildProcess& service() { return service_; }

 private:
  ChildProcess spawn(const std::vector<std::string>& argv) {
    std::vector<std::string> env{"PRINTXPC_ACTIVATE_FD=" + std::to_string(listener_.get())};
    // The child moves the socket to descriptor 3 and names its own pid, as systemd does.
    std::vector<std::string> shell{"bash", "-c",
                                   "exec 3<&$PRINTXPC_ACTIVATE_FD; export LISTEN_FDS=1 "
                                   "LISTEN_PID=$$; exec \"$@\"",
                                   "activate"};
    shell.insert(shell.end(), argv.begin(), argv.end());
    // The socket must survive the exec into bash for the hand-over.
    ::fcntl(listener_.get(), F_SETFD, 0);
    ChildProcess child(shell, env);
    ::fcntl(listener_.get(), F_SETFD, FD_CLOEXEC);
    return child;
  }

  UniqueFd listener_;
  ChildProcess service_;
  int starts_ = 0;
};

}  // namespace printxpc::test_support
