// The cancel watcher with 1,000 live watches (under its default cap of 1,024) on distinct
// cancel files: the process's thread count, its CPU use while nothing happens, and the time from a
// cancel write to the callback.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "files/cancel_file.h"
#include "files/cancel_watcher.h"
#include "support/bench_support.h"
// The call log and the thread count are shared with the unit tests of the watcher.
#include "../tests/unit/support/files.h"

namespace {

using namespace printxpc;
using namespace std::chrono_literals;

constexpr int kWatches = 1000;
constexpr int kTrials = 50;
constexpr auto kIdle = 2s;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "cancel_watch_bench: %s\n", what);
  std::exit(1);
}

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main() {
  char pattern[] = "/tmp/printxpc-cancel-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    fail("no temporary directory");
  }
  const std::filesystem::path dir(pattern);
  const auto pathOf = [&](int i) { return (dir / ("cancel-" + std::to_string(i))).string(); };

  test_support::CallLog calls;
  const int threadsBefore = test_support::threadCount();
  int threadsAfter = 0;
  double idleShare = 0;
  std::vector<double> latenciesMs;
  {
    CancelWatcher watcher([&] { calls.record(); }, kWatches);
    for (int i = 0; i < kWatches; ++i) {
      // Each watch as a GET makes it: the file first, then the watch.
      if (!ensureCancelFile(pathOf(i)) || !watcher.watch(pathOf(i))) {
        fail("cannot set up a watch");
      }
    }
    std::this_thread::sleep_for(200ms);  // let the first checks pass
    threadsAfter = test_support::threadCount();

    const double cpuBefore = cpuSeconds();
    const auto idleStart = bench::Clock::now();
    std::this_thread::sleep_for(kIdle);
    const double wall = std::chrono::duration<double>(bench::Clock::now() - idleStart).count();
    idleShare = (cpuSeconds() - cpuBefore) / wall;

    for (int trial = 0; trial < kTrials; ++trial) {
      const std::string path = pathOf((trial * 197) % kWatches);
      const int seen = calls.count();
      const auto start = bench::Clock::now();
      if (!cancelFileWrite(path)) {
        fail("cancel write failed");
      }
      if (calls.waitFor(seen + 1, 2000ms) <= seen) {
        fail("no callback within 2 s");
      }
      latenciesMs.push_back(
          std::chrono::duration<double, std::milli>(calls.lastCall() - start).count());
      // The next GET on the path: the file again, and a new watch, so 1,000 stay alive.
      while (std::filesystem::exists(path)) {
        std::this_thread::sleep_for(1ms);
      }
      if (!ensureCancelFile(path) || !watcher.watch(path)) {
        fail("cannot renew a watch");
      }
      std::this_thread::sleep_for(5ms);
    }
    if (watcher.activeWatches() != static_cast<std::size_t>(kWatches)) {
      fail("watch count drifted");
    }
  }
  // What a watcher that polls each path every 20 ms would spend: one size query per path.
  constexpr int kPasses = 10;
  const double pollStart = cpuSeconds();
  for (int pass = 0; pass < kPasses; ++pass) {
    for (int i = 0; i < kWatches; ++i) {
      struct stat info {};
      ::lstat(pathOf(i).c_str(), &info);
    }
  }
  const double pollingShare = (cpuSeconds() - pollStart) / kPasses / 0.02;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);

  const double medianMs = bench::median(latenciesMs);
  std::printf("cancel watcher, %d live watches on distinct files in one directory\n", kWatches);
  std::printf("  threads: %d before the watcher, %d with the watches (target <= +2: %s)\n",
              threadsBefore, threadsAfter, threadsAfter - threadsBefore <= 2 ? "met" : "NOT met");
  std::printf("  idle CPU over %.0f s: %.3f%% of one core (target < 5%%: %s)\n",
              std::chrono::duration<double>(kIdle).count(), idleShare * 100,
              idleShare < 0.05 ? "met" : "NOT met");
  std::printf(
      "  cancel write -> callback, %d trials: median %.3f ms, p90 %.3f ms, max %.3f ms "
      "(target median < 50 ms: %s)\n",
      kTrials, medianMs, bench::percentile(latenciesMs, 0.9), bench::percentile(latenciesMs, 1.0),
      medianMs < 50 ? "met" : "NOT met");
  std::printf("  for comparison, polling every path every 20 ms would use %.1f%% of one core\n",
              pollingShare * 100);
  return 0;
}
