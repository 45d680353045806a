// What cancels a GET, from one owner. A request that asks for cancellation stores its cancel
// flag value and watches its cancel file (OrvaneServiceXPC::pdeSnmpGet_XPC); a cancel write
// makes the file non-empty; the watcher's thread sees it, raises the signal and removes the
// file; raising the signal ends the wait of every GET at once (PdeSnmpGet registers its
// wake-up with the signal while it waits). The pieces: common/cancel_signal.h (the flag and
// the wake-ups) and files/cancel_watcher.h (the watches, their cap and their thread).
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "common/cancel_signal.h"
#include "files/cancel_watcher.h"

namespace printxpc {

class Cancellation {
 public:
  Cancellation() = default;
  Cancellation(const Cancellation&) = delete;
  Cancellation& operator=(const Cancellation&) = delete;
  ~Cancellation() = default;

  CancelSignal& signal() { return signal_; }

  // Watches the cancel file at the path; a cancel written to it raises the signal. The hold
  // keeps the watch from the watcher's cap while the GET that asked for it waits. Empty when
  // the path cannot be watched.
  [[nodiscard]] CancelWatcher::Hold watch(std::string path);

 private:
  // Declared in the order of their lives: the signal is made first and destroyed last, since
  // the watcher's thread raises it until the watcher's destructor has joined that thread.
  CancelSignal signal_;
  // Made with the first watch, so that a service whose GETs never ask for cancellation holds
  // no inotify instance and no thread.
  std::once_flag watcherMade_;
  std::optional<CancelWatcher> watcher_;
};

}  // namespace printxpc
