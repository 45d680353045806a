// Waiting in tests: a test decides by a fact it observes (a count, a file, a process state, a
// worker held at a gate), never by how long something took. The guard only keeps a faulty
// build from hanging the suite; reaching it means the fact never came.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace printxpc::test_support {

// Far beyond anything a loaded machine needs; only a fault runs into it.
inline constexpr std::chrono::milliseconds kFailureGuard{30000};

// Checks the fact every few milliseconds until it holds; false once the guard has passed.
// This is the one polling loop of the tests: every wait on a fact goes through it.
inline bool waitUntil(const std::function<bool()>& fact,
                      std::chrono::milliseconds guard = kFailureGuard) {
  const auto end = std::chrono::steady_clock::now() + guard;
  while (!fact()) {
    if (std::chrono::steady_clock::now() > end) {
      return fact();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// True when the call returns before the guard. Give the call a wait of its own longer than
// the guard (kLongerThanTheGuardMs) to tell "did not wait" from "waited": only a call that
// waits fails. (A call that hangs is waited for once the result is known.)
inline constexpr std::int64_t kLongerThanTheGuardMs = 2 * kFailureGuard.count();
inline bool returnsBeforeTheGuard(const std::function<void()>& call,
                                  std::chrono::milliseconds guard = kFailureGuard) {
  return std::async(std::launch::async, call).wait_for(guard) == std::future_status::ready;
}

// A hook that holds workers (a request handler, a fake peer) where the test wants them: each
// worker announces its arrival and waits until the test opens the gate. The test can so act
// while a request is certainly in progress, and release it when it is done.
class Gate {
 public:
  // Called by a worker: counts it as arrived, then waits for open() (or the guard). False
  // when the guard passed first.
  bool arriveAndWait(std::chrono::milliseconds guard = kFailureGuard) {
    std::unique_lock lock(mutex_);
    ++arrived_;
    changed_.notify_all();
    return changed_.wait_for(lock, guard, [this] { return open_; });
  }

  // Waits until at least `count` workers have arrived; false once the guard has passed.
  bool waitForArrivals(int count, std::chrono::milliseconds guard = kFailureGuard) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, guard, [&] { return arrived_ >= count; });
  }

  int arrived() {
    const std::lock_guard lock(mutex_);
    return arrived_;
  }

  // Lets every waiting and later worker through.
  void open() {
    const std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int arrived_ = 0;
  bool open_ = false;
};

}  // namespace printxpc::test_support
