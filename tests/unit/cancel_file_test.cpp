#include "files/cancel_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/temp_dir.h"

namespace printxpc {
namespace {

using namespace std::chrono_literals;
using testing::exists;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// --- Cancel write -----------------------------------------------------------------------

class CancelFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  std::string file(const std::string& name) const { return dir_.file(name); }

  TempDir dir_;
};

TEST_F(CancelFileTest, EachWriteAppendsOneByte) {
  writeFile(file("c"), "");
  EXPECT_TRUE(cancelFileWrite(file("c")));
  EXPECT_EQ(readFile(file("c")), "\x01");
  EXPECT_TRUE(cancelFileWrite(file("c")));
  EXPECT_EQ(readFile(file("c")), "\x01\x01");
}

TEST_F(CancelFileTest, WriteNeverCreatesOrWritesElsewhere) {
  std::filesystem::create_directory(file("dir"));
  writeFile(file("a"), "");
  const struct {
    const char* label;
    std::string path;
  } cases[] = {
      {"missing file", file("missing")},
      {"missing directory", file("nowhere/c")},
      {"directory", file("dir")},
      {"empty path", ""},
      {"NUL inside the path", file("a") + std::string("\0b", 2)},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(cancelFileWrite(c.path)) << c.label;
  }
  EXPECT_EQ(testing::entries(dir_.path()), (std::vector<std::string>{"a", "dir"}));
  EXPECT_EQ(readFile(file("a")), "");
}

TEST_F(CancelFileTest, WriteLeavesTheCreationMaskAt002) {
  const mode_t previous = ::umask(077);
  cancelFileWrite(file("missing"));
  EXPECT_EQ(::umask(previous), 002u);
}

TEST_F(CancelFileTest, EnsureCreatesWith0664AndKeepsExistingContent) {
  const mode_t previous = ::umask(077);
  EXPECT_TRUE(ensureCancelFile(file("c")));
  ::umask(previous);
  EXPECT_EQ(testing::permissions(file("c")), 0664u);
  EXPECT_EQ(readFile(file("c")), "");

  writeFile(file("old"), "\x01");
  EXPECT_TRUE(ensureCancelFile(file("old")));
  EXPECT_EQ(readFile(file("old")), "\x01");

  EXPECT_FALSE(ensureCancelFile(file("nowhere/c")));
  EXPECT_FALSE(ensureCancelFile(""));
  EXPECT_FALSE(exists(file("nowhere")));
}

// --- Watcher ----------------------------------------------------------------------------

// The watcher's callbacks; each notes whether the file was still there when it came.
class Recorder {
 public:
  explicit Recorder(std::string path = {}) : path_(std::move(path)) {}

  std::function<void()> callback() {
    return [this] {
      fileSeenAtCallback_ = path_.empty() || exists(path_);
      log_.record();
    };
  }

  int waitFor(int count, std::chrono::milliseconds limit) { return log_.waitFor(count, limit); }
  int fired() { return log_.count(); }
  bool fileSeenAtCallback() const { return fileSeenAtCallback_; }

 private:
  std::string path_;
  testing::CallLog log_;
  std::atomic<bool> fileSeenAtCallback_{false};
};

// The watcher reacts within about 20 ms; the bound is loose for a busy machine.
constexpr auto kReaction = 150ms;
// Long enough for the watcher to have reacted if it were going to.
constexpr auto kQuiet = 100ms;

// Waits until the path is gone (the watcher removes it after the callback).
bool waitUntilGone(const std::string& path, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (exists(path)) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST_F(CancelFileTest, WatchFiresOnWriteThenRemovesTheFile) {
  const std::string path = file("c");
  ASSERT_TRUE(ensureCancelFile(path));
  Recorder recorder(path);
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(path));
  std::this_thread::sleep_for(kQuiet);
  EXPECT_EQ(recorder.fired(), 0);
  EXPECT_EQ(watcher.activeWatches(), 1u);

  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(cancelFileWrite(path));
  EXPECT_EQ(recorder.waitFor(1, kReaction), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kReaction);
  EXPECT_TRUE(recorder.fileSeenAtCallback()) << "the flag must be set before the file goes";
  EXPECT_TRUE(waitUntilGone(path, kReaction));
  EXPECT_EQ(watcher.activeWatches(), 0u);

  // Ended: a later cancel write finds no file and creates none.
  EXPECT_FALSE(cancelFileWrite(path));
  std::this_thread::sleep_for(kQuiet);
  EXPECT_EQ(recorder.fired(), 1);
  EXPECT_FALSE(exists(path));
}

TEST_F(CancelFileTest, FileAlreadyNonEmptyFiresAtOnce) {
  const std::string path = file("c");
  writeFile(path, "\x01");
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(path));
  EXPECT_EQ(recorder.waitFor(1, kReaction), 1);
  EXPECT_TRUE(waitUntilGone(path, kReaction));
}

// The ways in which a non-empty file can come to be at a watched path.
TEST_F(CancelFileTest, FiresHoweverTheFileBecomesNonEmpty) {
  const struct {
    const char* label;
    bool createBefore;
    std::function<void(const std::string& path)> change;
  } cases[] = {
      {"deleted, created again, then written", true,
       [](const std::string& path) {
         ::unlink(path.c_str());
         std::this_thread::sleep_for(30ms);
         ASSERT_TRUE(ensureCancelFile(path));
         std::this_thread::sleep_for(30ms);
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
    std::this_thread::sleep_for(30ms);
    ASSERT_EQ(recorder.fired(), 0) << c.label;
    c.change(path);
    EXPECT_EQ(recorder.waitFor(1, kReaction), 1) << c.label;
    EXPECT_TRUE(waitUntilGone(path, kReaction)) << c.label;
  }
}

// A watch outlives its request: a later GET on the same path opens the file again and adds
// its own watch; one cancel write ends both.
TEST_F(CancelFileTest, WatchesOfOnePathFireTogether) {
  const std::string path = file("c");
  ASSERT_TRUE(ensureCancelFile(path));
  Recorder recorder(path);
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(path));
  ASSERT_TRUE(ensureCancelFile(path));
  ASSERT_TRUE(watcher.watch(path));
  EXPECT_EQ(watcher.activeWatches(), 2u);

  ASSERT_TRUE(cancelFileWrite(path));
  EXPECT_GE(recorder.waitFor(1, kReaction), 1);
  EXPECT_TRUE(waitUntilGone(path, kReaction));
  EXPECT_EQ(watcher.activeWatches(), 0u);

  // A watch made afterwards waits for the next cancellation only.
  ASSERT_TRUE(ensureCancelFile(path));
  ASSERT_TRUE(watcher.watch(path));
  std::this_thread::sleep_for(kQuiet);
  const int before = recorder.fired();
  EXPECT_EQ(watcher.activeWatches(), 1u);
  ASSERT_TRUE(cancelFileWrite(path));
  EXPECT_EQ(recorder.waitFor(before + 1, kReaction), before + 1);
}

TEST_F(CancelFileTest, WatchesOfOtherPathsStay) {
  ASSERT_TRUE(ensureCancelFile(file("a")));
  ASSERT_TRUE(ensureCancelFile(file("b")));
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(file("a")));
  ASSERT_TRUE(watcher.watch(file("b")));
  ASSERT_TRUE(cancelFileWrite(file("a")));
  EXPECT_EQ(recorder.waitFor(1, kReaction), 1);
  EXPECT_TRUE(waitUntilGone(file("a"), kReaction));
  EXPECT_TRUE(exists(file("b")));
  EXPECT_EQ(watcher.activeWatches(), 1u);
}

TEST_F(CancelFileTest, RelativePathIsWatchedInTheWorkingDirectory) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  ASSERT_TRUE(ensureCancelFile("rel"));
  Recorder recorder;
  {
    CancelWatcher watcher(recorder.callback());
    ASSERT_TRUE(watcher.watch("rel"));
    ASSERT_TRUE(cancelFileWrite("rel"));
    EXPECT_EQ(recorder.waitFor(1, kReaction), 1);
    EXPECT_TRUE(waitUntilGone("rel", kReaction));
  }
  std::filesystem::current_path(previous);
}

// Without a directory to watch the path is polled until the directory appears.
TEST_F(CancelFileTest, DirectoryCreatedAfterTheWatch) {
  const std::string path = file("later/c");
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(path));
  std::filesystem::create_directory(file("later"));
  writeFile(path, "\x01");
  EXPECT_EQ(recorder.waitFor(1, kReaction), 1);
  EXPECT_TRUE(waitUntilGone(path, kReaction));
}

TEST_F(CancelFileTest, DirectoryRemovedAndCreatedAgain) {
  std::filesystem::create_directory(file("d"));
  const std::string path = file("d/c");
  ASSERT_TRUE(ensureCancelFile(path));
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(path));
  std::filesystem::remove_all(file("d"));
  std::this_thread::sleep_for(50ms);
  std::filesystem::create_directory(file("d"));
  ASSERT_TRUE(ensureCancelFile(path));
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(recorder.fired(), 0);
  ASSERT_TRUE(cancelFileWrite(path));
  EXPECT_EQ(recorder.waitFor(1, kReaction), 1);
  EXPECT_TRUE(waitUntilGone(path, kReaction));
}

// An ancestor moved away leaves the directory watch on the moved directory; the watch finds
// the new directory at its path within about a second.
TEST_F(CancelFileTest, AncestorMovedAway) {
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
  EXPECT_EQ(recorder.waitFor(1, 2000ms), 1);
  EXPECT_TRUE(waitUntilGone(path, kReaction));
  EXPECT_TRUE(exists(file("moved/d/c")));
}

TEST_F(CancelFileTest, PathsThatCannotBeWatched) {
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  EXPECT_FALSE(watcher.watch(""));
  EXPECT_FALSE(watcher.watch(file("a") + std::string("\0b", 2)));
  EXPECT_EQ(watcher.activeWatches(), 0u);
}

// Ten thousand live watches cost no thread each and do not slow a cancellation down.
TEST_F(CancelFileTest, ManyWatchesShareOneThread) {
  constexpr int kWatches = 10000;
  // ThreadSanitizer starts a helper thread of its own with the first thread that the
  // process creates; let it exist before the count is taken.
  std::thread([] {}).join();
  const int before = testing::threadCount();
  Recorder recorder;
  {
    CancelWatcher watcher(recorder.callback());
    for (int i = 0; i < kWatches; ++i) {
      const std::string path = file("c" + std::to_string(i));
      ASSERT_TRUE(ensureCancelFile(path));
      ASSERT_TRUE(watcher.watch(path));
    }
    EXPECT_EQ(watcher.activeWatches(), static_cast<std::size_t>(kWatches));
    EXPECT_LE(testing::threadCount(), before + 1);

    std::this_thread::sleep_for(kQuiet);
    ASSERT_EQ(recorder.fired(), 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(cancelFileWrite(file("c4321")));
    EXPECT_EQ(recorder.waitFor(1, kReaction), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kReaction);
    EXPECT_TRUE(waitUntilGone(file("c4321"), kReaction));
    EXPECT_EQ(watcher.activeWatches(), static_cast<std::size_t>(kWatches - 1));
  }
  EXPECT_EQ(testing::threadCount(), before) << "the watcher thread is joined";
}

}  // namespace
}  // namespace printxpc
