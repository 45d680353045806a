// A wake-up counter for poll(): one thread notifies, the thread that polls the descriptor
// drains it.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/unique_fd.h"

namespace printxpc {

// An eventfd, non-blocking and closed on exec. Creation can fail (descriptors or memory
// short): valid() is then false and error() says why, and notify() and drain() do nothing.
class EventFd {
 public:
  EventFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), error_(fd_ ? 0 : errno) {}

  [[nodiscard]] bool valid() const { return fd_.valid(); }
  // The errno value of the failed creation; 0 for a valid one.
  [[nodiscard]] int error() const { return error_; }
  int fd() const { return fd_.get(); }

  // Makes the descriptor readable. Never blocks: a counter too full to add to is readable
  // already.
  void notify() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(fd_.get(), &one, sizeof(one));
  }

  // Empties the counter, so that the descriptor is no longer readable until the next notify.
  void drain() const {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t ignored = ::read(fd_.get(), &count, sizeof(count));
  }

 private:
  UniqueFd fd_;
  int error_;
};

}  // namespace printxpc
