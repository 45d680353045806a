#include "files/file_access.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "files/cancel_file.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace printxpc {
namespace {

using file_access_testing::ProbeStep;
using test_support::entries;
using test_support::exists;
using test_support::permissions;
using test_support::readFile;
using test_support::TempDir;
using test_support::writeFile;

// A temporary directory that an unprivileged child can enter.
class FileAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ::chmod(dir_.path().c_str(), 0755);
  }
  void TearDown() override { file_access_testing::setProbeHook({}); }

  std::string file(const std::string& name) const { return dir_.file(name); }
  std::vector<std::string> names() const { return entries(dir_.path()); }

  TempDir dir_;
};

#define REQUIRE_UNPRIVILEGED_RESULT(result) \
  if (!(result)) GTEST_SKIP() << "cannot drop privileges to user nobody here"

// --- Writability ------------------------------------------------------------------------

TEST_F(FileAccessTest, ExistingWritableFileKeepsItsContent) {
  writeFile(file("f"), "content", 0644);
  EXPECT_TRUE(isFilePathWritable_XPC(file("f")));
  EXPECT_EQ(readFile(file("f")), "content");
}

TEST_F(FileAccessTest, MissingFileIsProbedAndRemoved) {
  EXPECT_TRUE(isFilePathWritable_XPC(file("new")));
  EXPECT_TRUE(names().empty());
}

TEST_F(FileAccessTest, PathsThatCannotBeOpenedForWriting) {
  std::filesystem::create_directory(file("sub"));
  const struct {
    const char* label;
    std::string path;
  } cases[] = {
      {"directory", file("sub")},
      {"missing parent directory", file("nowhere/f")},
      {"empty path", ""},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(isFilePathWritable_XPC(c.path)) << c.label;
  }
  EXPECT_EQ(names(), std::vector<std::string>{"sub"});
}

TEST_F(FileAccessTest, PathLengthLimitIs255Bytes) {
  const std::string prefix = dir_.path().string() + "/";
  ASSERT_LT(prefix.size(), 100u);
  const std::string exact = prefix + std::string(255 - prefix.size(), 'a');
  const std::string tooLong = prefix + std::string(256 - prefix.size(), 'b');
  // 256 bytes from two-byte characters: fewer characters than bytes.
  std::string wide = prefix + ((256 - prefix.size()) % 2 == 1 ? "x" : "");
  while (wide.size() < 256) {
    wide += "\xC3\xA9";
  }
  ASSERT_EQ(exact.size(), 255u);
  ASSERT_EQ(tooLong.size(), 256u);
  ASSERT_EQ(wide.size(), 256u);

  EXPECT_TRUE(isFilePathWritable_XPC(exact));
  EXPECT_FALSE(isFilePathWritable_XPC(tooLong));
  EXPECT_FALSE(isFilePathWritable_XPC(wide));
  EXPECT_TRUE(names().empty());
}

TEST_F(FileAccessTest, TextThatIsNoCPathIsRefusedWithoutTouchingTheDirectory) {
  const std::string withNul = file("a") + std::string("\0b", 2);
  const std::string notUtf8 = file("bad\xFF");
  EXPECT_FALSE(isFilePathWritable_XPC(withNul));
  EXPECT_FALSE(isFilePathWritable_XPC(notUtf8));
  EXPECT_TRUE(names().empty());
}

TEST_F(FileAccessTest, LeavesTheCreationMaskAt002) {
  const mode_t previous = ::umask(077);
  EXPECT_TRUE(isFilePathWritable_XPC(file("f")));
  EXPECT_EQ(::umask(previous), 002u);
}

// A dangling link is probed at the path it names: the probe file is made there and removed
// again, and the link stays.
TEST_F(FileAccessTest, DanglingLinkIsProbedWhereItPoints) {
  std::filesystem::create_directory(file("sub"));
  const struct {
    const char* label;
    std::string link;
    std::string target;
    bool writable;
  } cases[] = {
      {"absolute target", file("absolute"), file("sub/a"), true},
      {"relative target", file("relative"), "sub/b", true},
      {"target in a missing directory", file("nowhere"), file("missing/c"), false},
  };
  for (const auto& c : cases) {
    std::filesystem::create_symlink(c.target, c.link);
    EXPECT_EQ(isFilePathWritable_XPC(c.link), c.writable) << c.label;
    EXPECT_TRUE(std::filesystem::is_symlink(c.link)) << c.label;
  }
  EXPECT_TRUE(entries(file("sub")).empty());
  EXPECT_EQ(names(), (std::vector<std::string>{"absolute", "nowhere", "relative", "sub"}));
}

TEST_F(FileAccessTest, PermissionsOfAnUnprivilegedUser) {
  std::filesystem::create_directory(file("locked"));
  writeFile(file("locked/open"), "o", 0666);
  ::chmod(file("locked").c_str(), 0555);
  writeFile(file("readonly"), "r", 0444);
  writeFile(file("writeonly"), "w", 0222);
  const struct {
    const char* label;
    std::string path;
    bool writable;
  } cases[] = {
      {"file without write permission", file("readonly"), false},
      {"file that may be written but not read", file("writeonly"), false},
      {"missing file in a read-only directory", file("locked/new"), false},
      {"writable file in a read-only directory", file("locked/open"), true},
  };
  for (const auto& c : cases) {
    const auto result =
        test_support::asUnprivileged([&] { return isFilePathWritable_XPC(c.path); });
    REQUIRE_UNPRIVILEGED_RESULT(result);
    EXPECT_EQ(*result, c.writable) << c.label;
  }
  EXPECT_EQ(readFile(file("readonly")), "r");
  EXPECT_EQ(readFile(file("locked/open")), "o");
  EXPECT_EQ(entries(file("locked")), std::vector<std::string>{"open"});
}

// Another process's file that appears just before the probe would create one survives.
TEST_F(FileAccessTest, FileAppearingBeforeTheCreateIsNotRemoved) {
  const std::string path = file("f");
  file_access_testing::setProbeHook([&](ProbeStep step) {
    if (step == ProbeStep::kBeforeCreate && !exists(path)) {
      writeFile(path, "theirs");
    }
  });
  EXPECT_TRUE(isFilePathWritable_XPC(path));
  EXPECT_EQ(readFile(path), "theirs");
}

// A file that goes away between the create and the open is probed again from the start.
TEST_F(FileAccessTest, FileVanishingBeforeTheOpenIsProbedAgain) {
  const std::string path = file("f");
  writeFile(path, "x");
  int opens = 0;
  file_access_testing::setProbeHook([&](ProbeStep step) {
    if (step == ProbeStep::kBeforeOpenExisting && opens++ == 0) {
      ::unlink(path.c_str());
    }
  });
  EXPECT_TRUE(isFilePathWritable_XPC(path));
  EXPECT_TRUE(names().empty());
}

// Another process removes the probe file and puts its own in its place: that one stays.
TEST_F(FileAccessTest, FileReplacingTheProbeIsNotRemoved) {
  const std::string path = file("f");
  file_access_testing::setProbeHook([&](ProbeStep step) {
    if (step == ProbeStep::kBeforeRemove) {
      ::unlink(path.c_str());
      writeFile(path, "theirs");
    }
  });
  EXPECT_TRUE(isFilePathWritable_XPC(path));
  EXPECT_EQ(readFile(path), "theirs");
}

// Another process renames its file into place at the probed path while the probe file is
// being removed, before or after the probe checked what is at the path: its file stays, and
// nothing of the probe's is left.
TEST_F(FileAccessTest, FileRenamedIntoPlaceDuringTheRemovalStays) {
  for (const ProbeStep step : {ProbeStep::kBeforeRemove, ProbeStep::kBeforeUnlink}) {
    const std::string path = file("f");
    ::unlink(path.c_str());
    file_access_testing::setProbeHook([&](ProbeStep reached) {
      if (reached == step) {
        writeFile(file("incoming"), "theirs");
        ::rename(file("incoming").c_str(), path.c_str());
      }
    });
    EXPECT_TRUE(isFilePathWritable_XPC(path)) << static_cast<int>(step);
    EXPECT_EQ(readFile(path), "theirs") << static_cast<int>(step);
    EXPECT_EQ(names(), std::vector<std::string>{"f"}) << static_cast<int>(step);
  }
}

// A creator that makes its file with O_EXCL and checks that it is still there races the
// probe on one path; no file of the creator may ever disappear.
TEST_F(FileAccessTest, ConcurrentCreatorNeverLosesAFile) {
  const std::string path = file("race");
  std::atomic<bool> done{false};
  std::atomic<int> created{0};
  std::atomic<int> lost{0};
  std::thread creator([&] {
    while (!done.load()) {
      const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0) {
        continue;
      }
      (void)::write(fd, "x", 1);
      for (int i = 0; i < 20; ++i) {
        std::this_thread::yield();
      }
      struct stat mine {};
      struct stat atPath {};
      ::fstat(fd, &mine);
      if (::lstat(path.c_str(), &atPath) != 0 || atPath.st_ino != mine.st_ino) {
        ++lost;
      } else {
        ::unlink(path.c_str());
      }
      ::close(fd);
      ++created;
    }
  });
  // Bounded by rounds rather than time alone, so that a loaded machine still races enough.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (created.load() < 200 && std::chrono::steady_clock::now() < end) {
    (void)isFilePathWritable_XPC(path);  // the race is judged by the files left behind
  }
  done = true;
  creator.join();
  EXPECT_EQ(lost.load(), 0);
  EXPECT_GT(created.load(), 20);
}

// --- URLs -------------------------------------------------------------------------------

TEST(UrlTest, AcceptedUrls) {
  const struct {
    const char* text;
    const char* scheme;
    const char* path;
  } cases[] = {
      {"file:///tmp/a.plist", "file", "/tmp/a.plist"},
      {"FILE:///tmp/a", "file", "/tmp/a"},
      {"file://localhost/tmp/a", "file", "/tmp/a"},
      {"file://LocalHost/tmp/a", "file", "/tmp/a"},
      {"file:/tmp/a", "file", "/tmp/a"},
      {"file:///tmp/a%20b", "file", "/tmp/a b"},
      {"file:///tmp/caf%C3%A9", "file", "/tmp/caf\xC3\xA9"},
      {"file:///tmp/a%2Fb", "file", "/tmp/a/b"},
      {"file:///tmp//a/", "file", "/tmp//a/"},
      {"http://host/p%41th", "http", "/pAth"},
  };
  for (const auto& c : cases) {
    const auto url = Url::parse(c.text);
    ASSERT_TRUE(url) << c.text;
    EXPECT_EQ(url->scheme(), c.scheme) << c.text;
    EXPECT_EQ(url->path(), c.path) << c.text;
  }
}

TEST(UrlTest, RejectedUrls) {
  const std::string withNul("file:///tmp/a\0b", 15);
  const std::string rejected[] = {
      "",
      "/tmp/a",                       // no scheme
      "tmp/a",                        // relative reference
      "file:///tmp/a b",              // not escaped
      "file:///tmp/%zz",              // broken escape
      "file:///tmp/a%00b",            // NUL in the path
      withNul,                        // NUL in the text
      "file://printer/tmp/a",         // another host
      "file://user@localhost/tmp/a",  // user
      "file://localhost:8/tmp/a",     // port
      "file:relative",                // relative path
      "file:",
      "file://",
      "file:///tmp/a?x=1",  // query
      "file:///tmp/a#top",  // fragment
      "not a url",
  };
  for (const auto& text : rejected) {
    EXPECT_FALSE(Url::parse(text)) << text;
  }
}

// --- Property-list write ----------------------------------------------------------------

class PlistWriteTest : public FileAccessTest {
 protected:
  bool write(const std::string& path, const std::string& bytes) {
    const auto url = Url::parse("file://" + path);
    return url && writeDictionaryToPlistFile_XPC(*url, bytes);
  }
};

TEST_F(PlistWriteTest, NewFileHasTheBytesAndMode0664WhateverTheMask) {
  const mode_t previous = ::umask(077);
  EXPECT_TRUE(write(file("new.plist"), "<plist>\xC3\xA9</plist>"));
  ::umask(previous);
  EXPECT_EQ(readFile(file("new.plist")), "<plist>\xC3\xA9</plist>");
  EXPECT_EQ(permissions(file("new.plist")), 0664u);
  EXPECT_EQ(names(), std::vector<std::string>{"new.plist"});
}

TEST_F(PlistWriteTest, ReplacingKeepsPermissionBitsAndDropsOldBytes) {
  for (const mode_t mode : {0600u, 0640u, 0444u, 0755u}) {
    writeFile(file("p"), "a much longer old content", mode);
    EXPECT_TRUE(write(file("p"), "new")) << std::oct << mode;
    EXPECT_EQ(readFile(file("p")), "new");
    EXPECT_EQ(permissions(file("p")), mode) << std::oct << mode;
  }
  EXPECT_EQ(names(), std::vector<std::string>{"p"});
}

TEST_F(PlistWriteTest, EmptyContentsGiveAnEmptyFile) {
  writeFile(file("p"), "old");
  EXPECT_TRUE(write(file("p"), ""));
  EXPECT_EQ(readFile(file("p")), "");
}

TEST_F(PlistWriteTest, PercentEncodedPathNamesTheDecodedFile) {
  const auto url = Url::parse("file://" + dir_.path().string() + "/my%20settings.plist");
  ASSERT_TRUE(url);
  EXPECT_TRUE(writeDictionaryToPlistFile_XPC(*url, "x"));
  EXPECT_EQ(readFile(file("my settings.plist")), "x");
}

TEST_F(PlistWriteTest, OtherSchemesWriteNothing) {
  const auto url = Url::parse("http://localhost" + file("p"));
  ASSERT_TRUE(url);
  EXPECT_FALSE(writeDictionaryToPlistFile_XPC(*url, "x"));
  EXPECT_TRUE(names().empty());
}

TEST_F(PlistWriteTest, TargetsThatCannotBeReplaced) {
  std::filesystem::create_directory(file("sub"));
  ::mkfifo(file("fifo").c_str(), 0644);
  EXPECT_FALSE(write(file("sub"), "x"));
  EXPECT_FALSE(write(file("sub") + "/", "x"));
  EXPECT_FALSE(write(file("fifo"), "x"));
  EXPECT_FALSE(write(file("nowhere/p"), "x"));
  EXPECT_EQ(names(), (std::vector<std::string>{"fifo", "sub"}));
  EXPECT_TRUE(entries(file("sub")).empty());
}

TEST_F(PlistWriteTest, SymbolicLinksAreWrittenThrough) {
  writeFile(file("real"), "old", 0600);
  std::filesystem::create_symlink(file("real"), file("absolute"));
  std::filesystem::create_symlink("absolute", file("chain"));  // relative, two hops
  std::filesystem::create_symlink("missing", file("dangling"));

  EXPECT_TRUE(write(file("chain"), "through"));
  EXPECT_EQ(readFile(file("real")), "through");
  EXPECT_EQ(permissions(file("real")), 0600u);
  EXPECT_TRUE(std::filesystem::is_symlink(file("chain")));
  EXPECT_TRUE(std::filesystem::is_symlink(file("absolute")));

  EXPECT_TRUE(write(file("dangling"), "created"));
  EXPECT_EQ(readFile(file("missing")), "created");
  EXPECT_TRUE(std::filesystem::is_symlink(file("dangling")));
}

TEST_F(PlistWriteTest, LinkLoopFails) {
  std::filesystem::create_symlink("b", file("a"));
  std::filesystem::create_symlink("a", file("b"));
  EXPECT_FALSE(write(file("a"), "x"));
  EXPECT_EQ(names(), (std::vector<std::string>{"a", "b"}));
}

// The write runs out of file-size limit half-way: the old content must survive intact and no
// temporary file may be left.
TEST_F(PlistWriteTest, FailedWriteKeepsTheOldContent) {
  writeFile(file("p"), "old content", 0640);
  const std::string path = file("p");
  const int status = test_support::runInChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16, 16};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    return write(path, std::string(4096, 'n')) ? 1 : 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(readFile(path), "old content");
  EXPECT_EQ(permissions(path), 0640u);
  EXPECT_EQ(names(), std::vector<std::string>{"p"});
}

// Where no temporary file can be made beside it, a file that may be written is written in
// place; one that may not, or a new file there, is refused and nothing changes.
TEST_F(PlistWriteTest, ReadOnlyDirectoryWritesInPlace) {
  std::filesystem::create_directory(file("locked"));
  writeFile(file("locked/open"), "a longer old content", 0666);
  writeFile(file("locked/closed"), "old", 0644);
  ::chmod(file("locked").c_str(), 0555);
  const struct {
    const char* label;
    std::string name;
    bool written;
    const char* content;  // afterwards; nullptr: absent
  } cases[] = {
      {"writable file", "open", true, "new"},
      {"file without write permission", "closed", false, "old"},
      {"new file", "new", false, nullptr},
  };
  for (const auto& c : cases) {
    const std::string path = file("locked/" + c.name);
    const auto result = test_support::asUnprivileged([&] { return write(path, "new"); });
    REQUIRE_UNPRIVILEGED_RESULT(result);
    EXPECT_EQ(*result, c.written) << c.label;
    EXPECT_EQ(readFile(path), c.content ? std::optional<std::string>(c.content) : std::nullopt)
        << c.label;
  }
  EXPECT_EQ(permissions(file("locked/open")), 0666u);
  EXPECT_EQ(entries(file("locked")), (std::vector<std::string>{"closed", "open"}));
}

TEST_F(PlistWriteTest, ReplacingAsRootKeepsTheOwner) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to hand the file to another owner";
  }
  writeFile(file("p"), "old", 0644);
  ASSERT_EQ(::chown(file("p").c_str(), test_support::kNobody, test_support::kNobody), 0);
  EXPECT_TRUE(write(file("p"), "new"));
  struct stat info {};
  ASSERT_EQ(::stat(file("p").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, test_support::kNobody);
  EXPECT_EQ(info.st_gid, test_support::kNobody);
}

// --- Paths planted by another user, and devices -------------------------------------------

// In a sticky world-writable directory a symbolic link is followed only when it belongs to
// this process's user or to the directory's owner, whatever fs.protected_symlinks says; a link
// that another user planted leads nowhere.
TEST_F(FileAccessTest, LinksInStickyDirectoriesFollowOnlyTrustedOwners) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to act as a second user";
  }
  const std::string shared = file("shared");  // like /tmp, owned by this user
  const std::string theirs = file("theirs");  // sticky and world-writable, owned by the other
  for (const auto& directory : {shared, theirs}) {
    std::filesystem::create_directory(directory);
    ::chmod(directory.c_str(), 01777);
  }
  ASSERT_EQ(::chown(theirs.c_str(), test_support::kOtherUser, test_support::kOtherUser), 0);
  writeFile(file("victim"), "mine", 0644);
  const auto plant = [](const std::string& target, const std::string& link) {
    return test_support::runAsUser(test_support::kOtherUser, [&] {
      return ::symlink(target.c_str(), link.c_str()) == 0 ? 0 : 1;
    });
  };
  ASSERT_EQ(plant(file("victim"), shared + "/planted.plist"), 0);
  ASSERT_EQ(plant(file("absent"), shared + "/planted-dangling"), 0);
  ASSERT_EQ(plant(file("victim"), theirs + "/owners.plist"), 0);
  std::filesystem::create_symlink(file("victim"), shared + "/own.plist");

  const auto plist = [](const std::string& path) {
    const auto url = Url::parse("file://" + path);
    return url && writeDictionaryToPlistFile_XPC(*url, "replaced");
  };
  const struct {
    const char* label;
    std::function<bool()> operation;
    bool followed;
  } cases[] = {
      {"plist write through another user's link", [&] { return plist(shared + "/planted.plist"); },
       false},
      {"probe through another user's dangling link",
       [&] { return isFilePathWritable_XPC(shared + "/planted-dangling"); }, false},
      {"plist write through the directory owner's link",
       [&] { return plist(theirs + "/owners.plist"); }, true},
      {"plist write through this user's own link", [&] { return plist(shared + "/own.plist"); },
       true},
  };
  for (const auto& c : cases) {
    writeFile(file("victim"), "mine", 0644);
    EXPECT_EQ(c.operation(), c.followed) << c.label;
    EXPECT_EQ(readFile(file("victim")), c.followed ? "replaced" : "mine") << c.label;
    EXPECT_FALSE(exists(file("absent"))) << c.label;
  }
}

// A terminal that is no session's controlling terminal, named as a probe path, a GET's cancel
// file or a cancel write's file, must not become the service's controlling terminal (closing
// it would then hang the service up).
TEST(ClientPathTest, TerminalIsNeverTakenAsControllingTerminal) {
  const struct {
    const char* label;
    std::function<void(const std::string&)> operation;
  } cases[] = {
      {"writability probe", [](const std::string& path) { (void)isFilePathWritable_XPC(path); }},
      {"GET cancel file", [](const std::string& path) { (void)ensureCancelFile(path); }},
      {"cancel write", [](const std::string& path) { (void)cancelFileWrite(path); }},
  };
  for (const auto& c : cases) {
    // In a child that leads a new session without a terminal, as a service under setsid.
    const int status = test_support::runInChild([&] {
      const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
      if (::setsid() < 0 || master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        return 2;
      }
      c.operation(::ptsname(master));
      // Opening /dev/tty succeeds only for a process that has a controlling terminal.
      return ::open("/dev/tty", O_RDWR | O_NOCTTY) < 0 ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << c.label;
  }
}

}  // namespace
}  // namespace printxpc
