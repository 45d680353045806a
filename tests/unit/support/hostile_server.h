// A server that breaks the protocol on purpose: it answers the client's n-th frame with the
// n-th entry of its table, raw bytes that may be no frame, half a frame or a frame the
// protocol does not allow there, and after the last entry reads on and answers nothing (or,
// with `closeAtEnd`, closes the connection).
// It runs as the test's own user, so the client trusts it.
#pragma once

#include <sys/socket.h>

#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/unique_fd.h"
#include "protocol/transport.h"
#include "protocol/wire.h"
#include "service/socket/listen_socket.h"
#include "temp_dir.h"

namespace printxpc::test_support {

// The bytes of one frame, for the table.
inline std::string frame(wire::FrameKind kind, std::string_view payload) {
  return wire::encodeFrame(kind, payload);
}

class HostileServer {
 public:
  explicit HostileServer(std::vector<std::string> answers, bool closeAtEnd = false)
      : answers_(std::move(answers)), closeAtEnd_(closeAtEnd) {
    auto listening = listenAt(path_);
    if (listening) {
      listener_ = std::move(listening->socket);
      thread_ = std::thread([this] { serveOne(); });
    }
  }
  ~HostileServer() {
    ::shutdown(listener_.get(), SHUT_RDWR);
    {
      const std::lock_guard lock(mutex_);
      if (connection_) {
        ::shutdown(connection_.get(), SHUT_RDWR);
      }
    }
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  bool listening() const { return listener_.valid(); }
  const std::string& path() const { return path_; }

  // The frames that the client sent so far: each is recorded before its answer goes out.
  std::vector<wire::Frame> received() {
    const std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  void serveOne() {
    UniqueFd accepted(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!accepted) {
      return;
    }
    const int fd = accepted.get();
    {
      const std::lock_guard lock(mutex_);
      connection_ = std::move(accepted);
    }
    transport::FdSource source(fd);
    wire::FrameReader reader(source);
    wire::Frame frame;
    for (std::size_t n = 0; reader.next(frame) == wire::ReadStatus::kFrame; ++n) {
      {
        const std::lock_guard lock(mutex_);
        received_.push_back(frame);
      }
      if (n < answers_.size() && !transport::sendAll(fd, answers_[n])) {
        return;
      }
      if (closeAtEnd_ && n + 1 >= answers_.size()) {
        ::shutdown(fd, SHUT_RDWR);
        return;
      }
    }
  }

  TempDir dir_;
  std::string path_ = dir_.file("hostile.sock");
  std::vector<std::string> answers_;
  bool closeAtEnd_;
  UniqueFd listener_;
  std::mutex mutex_;
  UniqueFd connection_;
  std::vector<wire::Frame> received_;
  std::thread thread_;
};

}  // namespace printxpc::test_support
