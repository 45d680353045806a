// The service core and its socket front in the test's own process, serving a socket file
// with the handlers that a test gives, until the object goes.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>

#include "service/core/service_core.h"
#include "service/socket/listen_socket.h"
#include "service/socket/socket_front.h"

namespace printxpc::test_support {

class SocketService {
 public:
  SocketService(const std::string& path, CoreSettings core, ConnectionSettings connection)
      : core_(std::make_unique<ServiceCore>(std::move(core))) {
    auto listening = listenAt(path);
    EXPECT_TRUE(listening) << listening.error().message;
    if (!listening) {
      return;
    }
    auto front = SocketFront::start(*core_, std::move(listening->socket), listening->file,
                                    std::move(connection));
    EXPECT_TRUE(front) << front.error().message;
    if (front) {
      front_ = std::move(*front);
    }
    runner_ = std::async(std::launch::async, [this] { return core_->run(-1); });
  }
  ~SocketService() { stop(); }
  SocketService(const SocketService&) = delete;
  SocketService& operator=(const SocketService&) = delete;

  ServiceCore& core() { return *core_; }
  std::future<ServiceCore::Outcome>& runner() { return runner_; }

  // Asks the core to stop and waits for its run, then for the front's threads.
  void stop() {
    if (runner_.valid()) {
      core_->requestStop();
      runner_.wait();
    }
    front_.reset();
  }

 private:
  std::unique_ptr<ServiceCore> core_;
  std::unique_ptr<SocketFront> front_;
  std::future<ServiceCore::Outcome> runner_;
};

}  // namespace printxpc::test_support
