#include "common/cancel_signal.h"

#include <algorithm>

namespace printxpc {

void CancelSignal::raise() {
  flag_.store(1);
  const std::lock_guard lock(mutex_);
  for (const EventFd* wakeup : wakeups_) {
    wakeup->notify();
  }
}

CancelSignal::Registration::Registration(CancelSignal& signal, const EventFd& wakeup)
    : signal_(wakeup.valid() ? &signal : nullptr), wakeup_(&wakeup) {
  if (signal_ != nullptr) {
    const std::lock_guard lock(signal_->mutex_);
    signal_->wakeups_.push_back(wakeup_);
  }
}

CancelSignal::Registration::~Registration() {
  if (signal_ != nullptr) {
    const std::lock_guard lock(signal_->mutex_);
    auto& wakeups = signal_->wakeups_;
    wakeups.erase(std::remove(wakeups.begin(), wakeups.end(), wakeup_), wakeups.end());
  }
}

}  // namespace printxpc
