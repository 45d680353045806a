#include "files/cancel_file.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "protocol/requests.h"
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
  EXPECT_EQ(test_support::entries(dir_.path()), (std::vector<std::string>{"a", "dir"}));
  EXPECT_EQ(readFile(file("a")), "");
}

// The datagrams that the action sends to the system log, caught on a /dev/log of the test's
// own (in a child with a mount namespace and a /dev of its own); nothing without root.
std::optional<std::vector<std::string>> syslogDatagrams(const TempDir& dir,
                                                        const std::function<void()>& action) {
  constexpr int kNoNamespace = 77;
  for (int i = 0; ::unlink(dir.file("datagram-" + std::to_string(i)).c_str()) == 0; ++i) {
  }
  const int status = test_support::runInChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) {
      return kNoNamespace;
    }
    const UniqueFd log(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    if (!log ||
        ::bind(log.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      return 1;
    }
    ::closelog();  // a connection inherited from the parent leads elsewhere
    action();
    std::vector<char> buffer(std::size_t{1} << 20);
    for (int i = 0;; ++i) {
      const ssize_t got = ::recv(log.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (got < 0) {
        return 0;
      }
      writeFile(dir.file("datagram-" + std::to_string(i)),
                std::string(buffer.data(), static_cast<std::size_t>(got)));
    }
  });
  if (status == kNoNamespace) {
    return std::nullopt;
  }
  EXPECT_EQ(status, 0);
  std::vector<std::string> datagrams;
  while (const auto datagram = readFile(dir.file("datagram-" + std::to_string(datagrams.size())))) {
    datagrams.push_back(*datagram);
  }
  return datagrams;
}

// The cancel write's two lines carry the request as text that cannot forge a line of its own,
// and a value too long for one line is cut, with a mark, instead of the line being lost.
TEST_F(CancelFileTest, LogLinesAreEscapedAndCut) {
  const std::string huge = "/tmp/" + std::string(300000, 'a');
  const std::string nearlyFull(4095, 'a');
  const std::string marker = ":CancelFileName:";
  const struct {
    const char* label;
    std::string request;
    std::string argString;  // as logged
    std::string argcStr;
  } cases[] = {
      {"plain request", "/tmp/c" + marker, "/tmp/c" + marker, "/tmp/c"},
      {"no marker", "/tmp/c", "/tmp/c", "(null)"},
      {"line break and backslash", "/tmp/c\nhelper - cancelFileWrite - argcStr = \\x" + marker,
       "/tmp/c\\x0ahelper - cancelFileWrite - argcStr = \\\\x" + marker,
       "/tmp/c\\x0ahelper - cancelFileWrite - argcStr = \\\\x"},
      {"300 KB", huge + marker, huge.substr(0, 4096) + "... [cut: 300021 bytes in all]",
       huge.substr(0, 4096) + "... [cut: 300005 bytes in all]"},
      {"cut before an escape", nearlyFull + "\t" + marker,
       nearlyFull + "... [cut: 4112 bytes in all]", nearlyFull + "... [cut: 4096 bytes in all]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto datagrams = syslogDatagrams(
        dir_, [&] { logCancelWrite(c.request, requests::parseCancelWrite(c.request)); });
    if (!datagrams) {
      GTEST_SKIP() << "needs root for a mount namespace with a system log of its own";
    }
    ASSERT_EQ(datagrams->size(), 2U);
    const std::string expected[] = {"helper - cancelFileWrite - argString = " + c.argString,
                                    "helper - cancelFileWrite - argcStr = " + c.argcStr};
    for (std::size_t i = 0; i < 2; ++i) {
      const std::string& datagram = (*datagrams)[i];
      // "<PRIORITY>date identifier: text\n", at error priority.
      ASSERT_EQ(datagram.rfind('<', 0), 0U) << datagram.substr(0, 80);
      EXPECT_EQ(std::atoi(datagram.c_str() + 1) & LOG_PRIMASK, LOG_ERR);
      const std::size_t text = datagram.find("helper - ");
      ASSERT_NE(text, std::string::npos) << datagram.substr(0, 80);
      EXPECT_EQ(datagram.substr(text), expected[i] + "\n");
    }
  }
}

TEST_F(CancelFileTest, WriteLeavesTheCreationMaskAt002) {
  const mode_t previous = ::umask(077);
  EXPECT_FALSE(cancelFileWrite(file("missing")));
  EXPECT_EQ(::umask(previous), 002u);
}

TEST_F(CancelFileTest, EnsureCreatesWith0664AndKeepsExistingContent) {
  const mode_t previous = ::umask(077);
  EXPECT_TRUE(ensureCancelFile(file("c")));
  ::umask(previous);
  EXPECT_EQ(test_support::permissions(file("c")), 0664u);
  EXPECT_EQ(readFile(file("c")), "");

  writeFile(file("old"), "\x01");
  EXPECT_TRUE(ensureCancelFile(file("old")));
  EXPECT_EQ(readFile(file("old")), "\x01");

  EXPECT_FALSE(ensureCancelFile(file("nowhere/c")));
  EXPECT_FALSE(ensureCancelFile(""));
  EXPECT_FALSE(exists(file("nowhere")));
}

// --- Watcher ----------------------------------------------------------------------------

// A generous bound that only keeps a faulty watcher from hanging the test.
constexpr auto kGuard = 10000ms;

// The watcher's callbacks; each notes whether the file was still there when it came. The
// fires of barrier files (see CancelWatcherTest::settle) are not counted.
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

TEST_F(CancelFileTest, WatchFiresOnWriteThenRemovesTheFile) {
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

TEST_F(CancelFileTest, FileAlreadyNonEmptyFiresAtOnce) {
  const std::string path = file("c");
  writeFile(path, "\x01");
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(path));
  EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
  EXPECT_TRUE(waitUntilGone(path));
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

TEST_F(CancelFileTest, WatchesOfOtherPathsStay) {
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

TEST_F(CancelFileTest, RelativePathIsWatchedInTheWorkingDirectory) {
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
TEST_F(CancelFileTest, DirectoryCreatedAfterTheWatch) {
  const std::string path = file("later/c");
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  ASSERT_TRUE(watcher.watch(path));
  std::filesystem::create_directory(file("later"));
  writeFile(path, "\x01");
  EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
  EXPECT_TRUE(waitUntilGone(path));
}

TEST_F(CancelFileTest, DirectoryRemovedAndCreatedAgain) {
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
  EXPECT_EQ(recorder.waitFor(1, kGuard), 1);
  EXPECT_TRUE(waitUntilGone(path));
  EXPECT_TRUE(exists(file("moved/d/c")));
}

TEST_F(CancelFileTest, PathsThatCannotBeWatched) {
  Recorder recorder;
  CancelWatcher watcher(recorder.callback());
  EXPECT_FALSE(watcher.watch(""));
  EXPECT_FALSE(watcher.watch(file("a") + std::string("\0b", 2)));
  EXPECT_EQ(watcher.activeWatches(), 0u);
}

// A thousand live watches cost no thread each and still cancel. (How fast, with them, is
// bench/cancel_watch_bench's measure.)
TEST_F(CancelFileTest, ManyWatchesShareOneThread) {
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

// --- Hostile files and races ----------------------------------------------------------------

// Cancel files are regular files: anything else is refused at once, and neither the GET's
// open nor the cancel write ever blocks, not even on a FIFO that another process keeps full.
TEST_F(CancelFileTest, OnlyRegularFilesAreCancelFiles) {
  const std::string fifo = file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0664), 0);
  const int holder = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  const std::string chunk(4096, 'x');
  while (::write(holder, chunk.data(), chunk.size()) > 0) {
  }
  std::filesystem::create_symlink(fifo, file("link-to-fifo"));
  std::filesystem::create_directory(file("dir"));
  for (const std::string& path :
       {fifo, file("link-to-fifo"), std::string("/dev/null"), file("dir")}) {
    const int status = test_support::runInChild([&] {
      ::alarm(kGuard.count() / 1000);  // a blocked call ends the child: a failure
      return (cancelFileWrite(path) ? 1 : 0) | (ensureCancelFile(path) ? 2 : 0);
    });
    EXPECT_EQ(status, 0) << path;
  }
  ::close(holder);
}

// A new GET on the path arms the cancel file again between the flag and the removal of the
// fired one: its file must exist for its own cancel write, which must reach it.
TEST_F(CancelFileTest, CancelFileArmedDuringTheRemovalIsKept) {
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
TEST_F(CancelFileTest, GrowthThroughAnotherNameFires) {
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
TEST_F(CancelFileTest, WatchCostIsBounded) {
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

}  // namespace
}  // namespace printxpc
