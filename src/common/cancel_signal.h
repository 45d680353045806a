// The cancel flag that stops GETs, and the wake-up of the GETs waiting when it is raised.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "common/event_fd.h"

namespace printxpc {

// One per service (its cancellation owner makes it before the cancel watcher, whose thread
// raises it, and destroys it after that thread has stopped). Its registry holds only the
// wake-ups of waits in progress, each registered for the length of its wait: nothing outside
// points into it once the waits have ended.
class CancelSignal {
 public:
  CancelSignal() = default;
  CancelSignal(const CancelSignal&) = delete;
  CancelSignal& operator=(const CancelSignal&) = delete;
  ~CancelSignal() = default;

  // The flag as a request sets it (any value; non-zero stops GETs). Wakes no wait: a GET
  // learns of a stored value at its next look.
  void store(std::int32_t value) { flag_.store(value); }
  [[nodiscard]] bool raised() const { return flag_.load() != 0; }

  // Stores 1 and ends the wait of every GET registered now.
  void raise();

  // Registers one wait's wake-up, which every raise() notifies while this lives. A wait
  // registers before its first look at the flag, so that no raise() slips between. An invalid
  // descriptor is not registered: that wait notices a raise only when it ends.
  class Registration {
   public:
    Registration(CancelSignal& signal, const EventFd& wakeup);
    ~Registration();
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

   private:
    CancelSignal* signal_;
    const EventFd* wakeup_;
  };

 private:
  std::atomic<std::int32_t> flag_{0};
  std::mutex mutex_;
  std::vector<const EventFd*> wakeups_;
};

}  // namespace printxpc
