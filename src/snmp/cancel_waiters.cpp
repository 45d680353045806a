#include "snmp/cancel_waiters.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "common/event_fd.h"
#include "snmp/snmp_get_shared.h"

namespace printxpc {
namespace {

// The wake-ups of the GETs now waiting for an answer, which a cancel makes readable. One
// list for the process: a GET woken by the cancel of another SnmpGetShared finds its own
// flag clear and waits on.
class CancelWaiters {
 public:
  static CancelWaiters& instance() {
    static CancelWaiters waiters;
    return waiters;
  }
  void add(const EventFd& wakeup) {
    const std::lock_guard lock(mutex_);
    wakeups_.push_back(&wakeup);
  }
  void remove(const EventFd& wakeup) {
    const std::lock_guard lock(mutex_);
    wakeups_.erase(std::remove(wakeups_.begin(), wakeups_.end(), &wakeup), wakeups_.end());
  }
  void wakeAll() {
    const std::lock_guard lock(mutex_);
    for (const EventFd* wakeup : wakeups_) {
      wakeup->notify();
    }
  }

 private:
  std::mutex mutex_;
  std::vector<const EventFd*> wakeups_;
};

// A wake-up registered for cancels for as long as it lives. Without one (no descriptor to
// be had) a GET notices a cancel only when its wait ends (an answer or the timeout).
class CancelWaiter {
 public:
  CancelWaiter() {
    if (wakeup_.valid()) {
      CancelWaiters::instance().add(wakeup_);
    }
  }
  ~CancelWaiter() {
    if (wakeup_.valid()) {
      CancelWaiters::instance().remove(wakeup_);
    }
  }
  CancelWaiter(const CancelWaiter&) = delete;
  CancelWaiter& operator=(const CancelWaiter&) = delete;
  int fd() const { return wakeup_.fd(); }
  // Empties the count of wake-ups.
  void drain() const { wakeup_.drain(); }

 private:
  EventFd wakeup_;
};

// The calling thread's waiter, made at its first GET and kept for the thread's life: a GET
// then opens and closes no descriptor of its own for the wake-ups, which saves a few
// microseconds of every GET. Wake-ups that come while no GET of the thread waits stay
// counted until the next wait drains them.
const CancelWaiter& threadCancelWaiter() {
  thread_local const CancelWaiter waiter;
  return waiter;
}

}  // namespace

void SnmpGetShared::raiseCancel() {
  cancelFlag = 1;
  CancelWaiters::instance().wakeAll();
}

int threadCancelWakeupFd() { return threadCancelWaiter().fd(); }

void drainThreadCancelWakeup() { threadCancelWaiter().drain(); }

}  // namespace printxpc
