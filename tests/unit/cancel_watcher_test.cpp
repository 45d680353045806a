#include "files/cancel_watcher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "files/cancel_file.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace printxpc {
namespace {

using namespace std::chrono_literals;
using test_support::exists;
using test_support::inodeOf;
using test_support::inotifyWatchedInodes;
using test_support::inotifyWatches;
using test_support::readFile;
using test_support::TempDir;
using test_support::waitUntil;
using test_support::writeFile;

// A generous bound that only keeps a faulty watcher from hanging the test.
constexpr auto kGuard = 10000ms;

// The watcher's callbacks; each notes whether the file was still there when it came. The
// fires of barrier files (see settle) are not counted.
class Recorder {
 public:
  explicit Recorder(std::string path = {}) : path_(std::move(path)) {}

  std::function<void()> callback() {
    return [this] {
      fileSeenAtCallback_ = path_.empty() || exists(path_);
      log_.record();
    };
  }

  int waitFor(int count, std::chrono::milliseconds limit) {
    return log_.waitFor(count + barriers_, limit) - barriers_;
  }
  int fired() { return log_.count() - barriers_; }
  bool fileSeenAtCallback() const { return fileSeenAtCallback_; }
  void barrierFired() { ++barriers_; }

 private:
  std::string path_;
  test_support::CallLog log_;
  std::atomic<bool> fileSeenAtCallback_{false};
  int barriers_ = 0;
};

// Waits until the path is gone (the watcher removes it after the callback).
bool waitUntilGone(const std::string& path, std::chrono::milliseconds limit = kGuard) {
  return waitUntil([&] { return !exists(path); }, limit);
}

// Makes sure that the watcher has got through every check asked of it so far, so that a
// watch that was going to fire has fired: a barrier file that holds a cancel already, watched
// now, is checked after them and fires once it is; the watcher removes it after the call.
void settle(CancelWatcher& watcher, Recorder& recorder, const TempDir& dir) {
  const std::string barrier = dir.file("barrier");
  writeFile(barrier, "\x01");
  ASSERT_TRUE(watcher.watch(barrier));
  ASSERT_TRUE(waitUntilGone(barrier)) << "the barrier never fired";
  recorder.barrierFired();
}

class CancelWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  std::string file(const std::string& name) const { return dir_.file(name); }

  TempDir dir_;
};

TEST_F(CancelWatcherTest, WatchFiresOnWriteThenRemovesTheFile) {
  const std::string path = file("c");
  ASSERT_TRUE(ensureCancelFile(path));
  Recorder recorder(path);
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(path));
  settle(watcher, recorder, dir_);
  EXPECT_EQ(recorder.fired(), 0);
  EXPECT_EQ(watcher.activeWatches(), 1u);

  ASSERT_TRUE(cancelFileWrite(path));
  EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
  EXPECT_TRUE(recorder.fileSeenAtCallback()) << "the flag must be set before the file goes";
  EXPECT_TRUE(waitUntilGone(path));
  EXPECT_EQ(watcher.activeWatches(), 0u);

  // Ended: a later cancel write finds no file and creates none.
  EXPECT_FALSE(cancelFileWrite(path));
  settle(watcher, recorder, dir_);
  EXPECT_EQ(recorder.fired(), 1);
  EXPECT_FALSE(exists(path));
}

TEST_F(CancelWatcherTest, FileAlreadyNonEmptyFiresAtOnce) {
  const std::string path = file("c");
  writeFile(path, "\x01");
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(path));
  EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
  EXPECT_TRUE(waitUntilGone(path));
}

// The ways in which a non-empty file can come to be at a watched path.
TEST_F(CancelWatcherTest, FiresHoweverTheFileBecomesNonEmpty) {
  const struct {
    const char* label;
    bool createBefore;
    std::function<void(const std::string& path)> change;
  } cases[] = {
      {"deleted, created again, then written", true,
       [](const std::string& path) {
         const ino_t old = inodeOf(path);
         ::unlink(path.c_str());
         ASSERT_TRUE(waitUntil([&] {
           const auto inodes = inotifyWatchedInodes();
           return std::find(inodes.begin(), inodes.end(), old) == inodes.end();
         }));
         ASSERT_TRUE(ensureCancelFile(path));
         // The watcher has found the new file and watches it.
         ASSERT_TRUE(waitUntil([&] { return inotifyWatches(path); }));
         ASSERT_TRUE(cancelFileWrite(path));
       }},
      {"created non-empty after the watch began", false,
       [](const std::string& path) { writeFile(path, "\x01"); }},
      {"renamed into place", true,
       [](const std::string& path) {
         writeFile(path + ".new", "\x01");
         ::rename((path + ".new").c_str(), path.c_str());
       }},
      {"grown by truncate", true,
       [](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 1), 0); }},
  };
  for (const auto& c : cases) {
    const std::string path = file("c");
    ::unlink(path.c_str());
    if (c.createBefore) {
      ASSERT_TRUE(ensureCancelFile(path));
    }
    Recorder recorder;
    CancelWatcher watcher(recorder.callback());
    ASSERT_TRUE(watcher.watch(path));
    settle(watcher, recorder, dir_);
    ASSERT_EQ(recorder.fired(), 0) << c.label;
    c.change(path);
    EXPECT_EQ(recorder.waitFor(1, kGuard), 1) << c.label;
    EXPECT_TRUE(waitUntilGone(path)) << c.label;
  }
}

// A watch outlives its request: a later GET on the same path opens the file again and adds
// its own watch; one cancel write ends both.
TEST_F(CancelWatcherTest, WatchesOfOnePathFireTogether) {
  const std::string path = file("c");
  ASSERT_TRUE(ensureCancelFile(path));
  Recorder recorder(path);
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(path));
  ASSERT_TRUE(ensureCancelFile(path));
  ASSERT_TRUE(watcher.watch(path));
  EXPECT_EQ(watcher.activeWatches(), 2u);

  ASSERT_TRUE(cancelFileWrite(path));
  EXPECT_GE(recorder.waitFor(1, kGuard), 1);
  EXPECT_TRUE(waitUntilGone(path));
  EXPECT_EQ(watcher.activeWatches(), 0u);

  // A watch made afterwards waits for the next cancellation only.
  ASSERT_TRUE(ensureCancelFile(path));
  ASSERT_TRUE(watcher.watch(path));
  settle(watcher, recorder, dir_);
  const int before = recorder.fired();
  EXPECT_EQ(watcher.activeWatches(), 1u);
  ASSERT_TRUE(cancelFileWrite(path));
  EXPECT_EQ(recorder.waitFor(before + 1, kGuard), before + 1);
}

TEST_F(CancelWatcherTest, WatchesOfOtherPathsStay) {
  ASSERT_TRUE(ensureCancelFile(file("a")));
  ASSERT_TRUE(ensureCancelFile(file("b")));
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(file("a")));
  ASSERT_TRUE(watcher.watch(file("b")));
  ASSERT_TRUE(cancelFileWrite(file("a")));
  EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
  EXPECT_TRUE(waitUntilGone(file("a")));
  EXPECT_TRUE(exists(file("b")));
  EXPECT_EQ(watcher.activeWatches(), 1u);
}

TEST_F(CancelWatcherTest, RelativePathIsWatchedInTheWorkingDirectory) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  ASSERT_TRUE(ensureCancelFile("rel"));
  Recorder recorder;
  {
    CancelWatcher watcher(recorder.callback());
    ASSERT_TRUE(watcher.watch("rel"));
    ASSERT_TRUE(cancelFileWrite("rel"));
    EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
    EXPECT_TRUE(waitUntilGone("rel"));
  }
  std::filesystem::current_path(previous);
}

// Without a directory to watch the path is polled until the directory appears.
TEST_F(CancelWatcherTest, DirectoryCreatedAfterTheWatch) {
  const std::string path = file("later/c");
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(path));
  std::filesystem::create_directory(file("later"));
  writeFile(path, "\x01");
  EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
  EXPECT_TRUE(waitUntilGone(path));
}

TEST_F(CancelWatcherTest, DirectoryRemovedAndCreatedAgain) {
  std::filesystem::create_directory(file("d"));
  const std::string path = file("d/c");
  ASSERT_TRUE(ensureCancelFile(path));
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(path));
  std::filesystem::remove_all(file("d"));
  // The watcher falls back to the nearest existing ancestor...
  ASSERT_TRUE(waitUntil([&] { return inotifyWatches(dir_.path().string()); }));
  std::filesystem::create_directory(file("d"));
  ASSERT_TRUE(ensureCancelFile(path));
  // ...and watches the new file once it is there.
  ASSERT_TRUE(waitUntil([&] { return inotifyWatches(path); }));
  ASSERT_EQ(recorder.fired(), 0);
  ASSERT_TRUE(cancelFileWrite(path));
  EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
  EXPECT_TRUE(waitUntilGone(path));
}

// An ancestor moved away leaves the directory watch on the moved directory; the watch finds
// the new directory at its path within about a second.
TEST_F(CancelWatcherTest, AncestorMovedAway) {
  std::filesystem::create_directories(file("top/d"));
  const std::string path = file("top/d/c");
  ASSERT_TRUE(ensureCancelFile(path));
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(path));
  std::filesystem::rename(file("top"), file("moved"));
  std::filesystem::create_directories(file("top/d"));
  ASSERT_TRUE(ensureCancelFile(path));
  ASSERT_TRUE(cancelFileWrite(path));
  EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
  EXPECT_TRUE(waitUntilGone(path));
  EXPECT_TRUE(exists(file("moved/d/c")));
}

TEST_F(CancelWatcherTest, PathsThatCannotBeWatched) {
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  EXPECT_FALSE(watcher.watch(""));
  EXPECT_FALSE(watcher.watch(file("a") + std::string("\0b", 2)));
  EXPECT_EQ(watcher.activeWatches(), 0u);
}

// A thousand live watches cost no thread each and still cancel. (How fast, with them, is
// bench/cancel_watch_bench's measure.)
TEST_F(CancelWatcherTest, ManyWatchesShareOneThread) {
  constexpr int kWatches = 1000;
  // ThreadSanitizer starts a helper thread of its own with the first thread that the
  // process creates; let it exist before the count is taken.
  std::thread([] {}).join();
  const int before = test_support::threadCount();
  Recorder recorder;
  {
    CancelWatcher watcher(recorder.callback(), kWatches + 1);  // room for the barrier
    for (int i = 0; i < kWatches; ++i) {
      const std::string path = file("c" + std::to_string(i));
      ASSERT_TRUE(ensureCancelFile(path));
      ASSERT_TRUE(watcher.watch(path));
    }
    EXPECT_EQ(watcher.activeWatches(), static_cast<std::size_t>(kWatches));
    EXPECT_LE(test_support::threadCount(), before + 1);

    settle(watcher, recorder, dir_);
    ASSERT_EQ(recorder.fired(), 0);
    ASSERT_TRUE(cancelFileWrite(file("c432")));
    EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
    EXPECT_TRUE(waitUntilGone(file("c432")));
    EXPECT_EQ(watcher.activeWatches(), static_cast<std::size_t>(kWatches - 1));
  }
  EXPECT_EQ(test_support::threadCount(), before) << "the watcher thread is joined";
}

// --- Races ------------------------------------------------------------------------------

// A new GET on the path arms the cancel file again between the flag and the removal of the
// fired one: its file must exist for its own cancel write, which must reach it.
TEST_F(CancelWatcherTest, CancelFileArmedDuringTheRemovalIsKept) {
  const std::string path = file("c");
  ASSERT_TRUE(ensureCancelFile(path));
  test_support::CallLog fired;
  std::atomic<bool> first{true};
  CancelWatcher watcher([&] {
    if (first.exchange(false)) {
      EXPECT_TRUE(ensureCancelFile(path));  // the next GET's open, right after the flag
    }
    fired.record();
  });
  ASSERT_TRUE(watcher.watch(path));
  ASSERT_TRUE(cancelFileWrite(path));
  ASSERT_EQ(fired.waitFor(1, kGuard), 1);
  ASSERT_TRUE(watcher.watch(path));  // the next GET's watch
  EXPECT_TRUE(cancelFileWrite(path));
  EXPECT_EQ(fired.waitFor(2, kGuard), 2);
}

// Growth through another name of the file (a hard link in another directory) is seen too.
TEST_F(CancelWatcherTest, GrowthThroughAnotherNameFires) {
  const struct {
    const char* label;
    std::function<void(const std::string& other)> change;
  } cases[] = {
      {"cancel write", [](const std::string& other) { ASSERT_TRUE(cancelFileWrite(other)); }},
      {"truncate", [](const std::string& other) { ASSERT_EQ(::truncate(other.c_str(), 1), 0); }},
  };
  std::filesystem::create_directory(file("a"));
  std::filesystem::create_directory(file("b"));
  for (const auto& c : cases) {
    const std::string path = file("a/c");
    const std::string other = file("b/other");
    ::unlink(other.c_str());
    ::unlink(path.c_str());
    ASSERT_TRUE(ensureCancelFile(path));
    ASSERT_EQ(::link(path.c_str(), other.c_str()), 0);
    Recorder recorder;
    CancelWatcher watcher(recorder.callback());
    ASSERT_TRUE(watcher.watch(path));
    // A file that holds a cancel already fires with the first look after the one at the path:
    // once it has fired, the watcher has seen the file empty.
    writeFile(file("zz-seen"), "\x01");
    ASSERT_TRUE(watcher.watch(file("zz-seen")));
    ASSERT_EQ(recorder.waitFor(1, kGuard), 1) << c.label;
    c.change(other);
    EXPECT_EQ(recorder.waitFor(2, kGuard), 2) << c.label;
    EXPECT_TRUE(waitUntilGone(path, kGuard)) << c.label;
  }
}

// What the watches cost is bounded: one watch per file however it is spelled, a missing
// directory watched through its nearest existing ancestor, watches released once unneeded,
// and at most the cap of files, the least recently armed going first.
TEST_F(CancelWatcherTest, WatchCostIsBounded) {
  constexpr std::size_t kCap = 4;
  Recorder recorder;
  CancelWatcher watcher(recorder.callback(), kCap);
  const std::string root = dir_.path().string();

  // Spellings of one file: one file and its directory watched.
  std::filesystem::create_directory(file("d"));
  for (const std::string& spelling :
       {root + "/d/c", root + "/d/./c", root + "//d//c", root + "/d/../d/c"}) {
    ASSERT_TRUE(ensureCancelFile(spelling));
    ASSERT_TRUE(watcher.watch(spelling));
  }
  EXPECT_EQ(watcher.watchedFiles(), 1u);
  EXPECT_EQ(watcher.activeWatches(), 4u);
  EXPECT_EQ(test_support::inotifyWatchCount(), 2);

  // Files in directories that go away: only their nearest existing ancestor stays watched.
  for (const char* name : {"x", "y"}) {
    std::filesystem::create_directories(file(std::string(name) + "/deep"));
    ASSERT_TRUE(ensureCancelFile(file(std::string(name) + "/deep/c")));
    ASSERT_TRUE(watcher.watch(file(std::string(name) + "/deep/c")));
  }
  std::filesystem::remove_all(file("d"));
  std::filesystem::remove_all(file("x"));
  std::filesystem::remove_all(file("y"));
  EXPECT_TRUE(test_support::waitUntil([] { return test_support::inotifyWatchCount() == 1; }))
      << test_support::inotifyWatchCount();
  EXPECT_EQ(watcher.watchedFiles(), 3u);

  // Still armed: the file made again at the path and written cancels.
  std::filesystem::create_directories(file("y/deep"));
  ASSERT_TRUE(ensureCancelFile(file("y/deep/c")));
  ASSERT_TRUE(cancelFileWrite(file("y/deep/c")));
  EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
  EXPECT_TRUE(waitUntilGone(file("y/deep/c"), kGuard));
  EXPECT_EQ(watcher.watchedFiles(), 2u);

  // Over the cap: the least recently armed files go. "d/c" is armed again, so "x/deep/c" goes.
  std::filesystem::create_directory(file("d"));
  ASSERT_TRUE(watcher.watch(file("d/c")));
  for (const char* name : {"n1", "n2", "n3"}) {
    ASSERT_TRUE(ensureCancelFile(file(name)));
    ASSERT_TRUE(watcher.watch(file(name)));
  }
  EXPECT_EQ(watcher.watchedFiles(), kCap);
  ASSERT_TRUE(cancelFileWrite(file("d/c")));
  EXPECT_EQ(recorder.waitFor(2, kGuard), 2);
  EXPECT_TRUE(waitUntilGone(file("d/c"), kGuard));
  EXPECT_EQ(watcher.watchedFiles(), kCap - 1);
  EXPECT_EQ(watcher.activeWatches(), kCap - 1);  // the five arms of "d/c" went with it
}

// The cap ends only watches whose GET has ended. A GET still waiting keeps its watch however
// many other GETs arm and finish meanwhile; a finished GET's watch lives on, and still
// cancels, until the cap needs its place.
TEST_F(CancelWatcherTest, CapEndsOnlyWatchesThatOutlivedTheirGet) {
  constexpr std::size_t kCap = 8;
  const struct {
    const char* label;
    bool stillWaiting;  // the GET holds its watch throughout
    int othersAfter;    // GETs that arm a file of their own and finish, after this one armed
    bool cancels;
  } cases[] = {
      {"waiting GET, 2,000 others finished", true, 2000, true},
      {"finished GET, nothing armed since", false, 0, true},
      {"finished GET, fewer armed since than the cap", false, kCap - 2, true},
      {"finished GET, the cap's worth armed since", false, kCap, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Recorder recorder;
    CancelWatcher watcher(recorder.callback(), kCap);
    const std::string path = file("get");
    ASSERT_TRUE(ensureCancelFile(path));
    CancelWatcher::Hold hold = watcher.watch(path);
    ASSERT_TRUE(hold);
    if (!c.stillWaiting) {
      hold.release();
    }
    for (int i = 0; i < c.othersAfter; ++i) {
      const std::string other = file("other-" + std::to_string(i));
      ASSERT_TRUE(ensureCancelFile(other));
      ASSERT_TRUE(watcher.watch(other));  // its hold goes at once: that GET has answered
    }
    EXPECT_EQ(watcher.watchedFiles(), std::min<std::size_t>(kCap, 1 + c.othersAfter));

    ASSERT_TRUE(cancelFileWrite(path));
    if (c.cancels) {
      EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
      EXPECT_TRUE(waitUntilGone(path));
    } else {
      settle(watcher, recorder, dir_);
      EXPECT_EQ(recorder.fired(), 0);
      EXPECT_TRUE(exists(path));
    }
    for (int i = 0; i < c.othersAfter; ++i) {
      ::unlink(file("other-" + std::to_string(i)).c_str());
    }
    ::unlink(path.c_str());
  }
}

// More GETs waiting at once than the cap: every watch stays while held, and the cap is back
// in force once they have ended.
TEST_F(CancelWatcherTest, HeldWatchesBeyondTheCapStayUntilReleased) {
  constexpr std::size_t kCap = 4;
  Recorder recorder;
  CancelWatcher watcher(recorder.callback(), kCap);
  std::vector<CancelWatcher::Hold> holds;
  for (std::size_t i = 0; i < kCap + 3; ++i) {
    const std::string path = file("held-" + std::to_string(i));
    ASSERT_TRUE(ensureCancelFile(path));
    holds.push_back(watcher.watch(path));
    ASSERT_TRUE(holds.back());
  }
  EXPECT_EQ(watcher.watchedFiles(), kCap + 3);
  ASSERT_TRUE(cancelFileWrite(file("held-0")));  // the least recently armed: still watched
  EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
  EXPECT_TRUE(waitUntilGone(file("held-0")));
  EXPECT_EQ(watcher.watchedFiles(), kCap + 2);
  holds.clear();
  EXPECT_EQ(watcher.watchedFiles(), kCap);
  EXPECT_EQ(watcher.activeWatches(), kCap);
}

}  // namespace
}  // namespace printxpc
