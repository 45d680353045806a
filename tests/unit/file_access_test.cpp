#include "files/file_access.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "files/cancel_file.h"
#include "files/client_path.h"
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
// being removed: before or after the probe checked what is at the path, or while a file of
// another's that had replaced the probe is aside for its move back. Every such file stays, the
// last one at the path, and nothing of the probe's is left.
TEST_F(FileAccessTest, FileRenamedIntoPlaceDuringTheRemovalStays) {
  using Renames = std::vector<std::pair<ProbeStep, std::string>>;
  const struct {
    const char* label;
    Renames renames;  // at each step, a file with this content renamed to the path
  } cases[] = {
      {"before the check", {{ProbeStep::kBeforeRemove, "theirs"}}},
      {"after the check", {{ProbeStep::kBeforeUnlink, "theirs"}}},
      {"while another's file is aside",
       {{ProbeStep::kBeforeRemove, "first"}, {ProbeStep::kBeforeMoveBack, "theirs"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove_all(dir_.path());
    std::filesystem::create_directory(dir_.path());
    const std::string path = file("f");
    file_access_testing::setProbeHook([&](ProbeStep reached) {
      for (const auto& [step, content] : c.renames) {
        if (reached == step) {
          writeFile(file("incoming"), content);
          ::rename(file("incoming").c_str(), path.c_str());
        }
      }
    });
    EXPECT_TRUE(isFilePathWritable_XPC(path));
    EXPECT_EQ(readFile(path), "theirs");
    std::vector<std::optional<std::string>> contents;
    for (const auto& name : names()) {
      contents.push_back(readFile(file(name)));
    }
    std::sort(contents.begin(), contents.end());
    // The one that was aside keeps its private name rather than replacing the newer one.
    EXPECT_EQ(contents.size(), c.renames.size());
    for (const auto& [step, content] : c.renames) {
      EXPECT_NE(std::find(contents.begin(), contents.end(), content), contents.end()) << content;
    }
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

// The operations that take a path a client named, on the test's own paths.
class ClientPathTest : public FileAccessTest {};

bool plistWrite(const std::string& path) {
  const auto url = Url::parse("file://" + path);
  return url && writeDictionaryToPlistFile_XPC(*url, "replaced");
}

// In a sticky world-writable directory another user can make a second name for a file of this
// user's where fs.protected_hardlinks is off; the rule is applied whatever that setting is, so
// the test makes the second name itself. Such a name is refused by every operation that would
// write through it; a file with one name there, or a second name elsewhere, works as ever.
TEST_F(ClientPathTest, HardLinksInStickyDirectoriesAreRefused) {
  const std::string shared = file("shared");
  const std::string own = file("own");
  std::filesystem::create_directory(shared);
  std::filesystem::create_directory(own);
  ::chmod(shared.c_str(), 01777);
  const std::string victim = file("victim");
  const struct {
    const char* label;
    std::function<bool(const std::string&)> operation;
    const char* written;  // what a write through an accepted name leaves in the victim
  } operations[] = {
      {"plist write", plistWrite, "mine"},  // replaced by a new file: the other name keeps it
      {"GET cancel file", [](const std::string& path) { return ensureCancelFile(path); }, "mine"},
      {"cancel write", [](const std::string& path) { return cancelFileWrite(path); }, "mine\x01"},
  };
  const struct {
    const char* label;
    std::string path;
    bool refused;
  } names[] = {
      {"second name in a sticky world-writable directory", shared + "/linked", true},
      {"second name in an ordinary directory", own + "/linked", false},
      {"only name, in a sticky world-writable directory", shared + "/single", false},
  };
  for (const auto& operation : operations) {
    for (const auto& name : names) {
      SCOPED_TRACE(std::string(operation.label) + ", " + name.label);
      writeFile(victim, "mine");
      writeFile(shared + "/single", "mine");
      for (const auto& directory : {shared, own}) {
        ::unlink((directory + "/linked").c_str());
        ASSERT_EQ(::link(victim.c_str(), (directory + "/linked").c_str()), 0);
      }
      EXPECT_EQ(operation.operation(name.path), !name.refused);
      if (name.refused) {
        EXPECT_EQ(readFile(name.path), "mine");
        EXPECT_EQ(test_support::inodeOf(name.path), test_support::inodeOf(victim));
      } else if (name.path.find("linked") != std::string::npos) {
        EXPECT_EQ(readFile(victim), operation.written);
      }
    }
  }
}

// Paths through a magic link of /proc name the service's own descriptors (here the test's),
// not a file of the client's: every operation that takes a path refuses them, in the
// directory part too, with openat2 and with the check that stands in for it on older kernels.
TEST_F(ClientPathTest, PathsThroughMagicLinksAreRefused) {
  const std::string victim = file("victim");
  writeFile(victim, "mine");
  const UniqueFd open(::open(victim.c_str(), O_RDWR | O_CLOEXEC));
  const UniqueFd directory(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(open.valid() && directory.valid());
  const std::string fd = std::to_string(open.get());
  std::filesystem::create_symlink("/proc/self/fd/" + fd, file("link"));
  const std::string paths[] = {
      "/proc/self/fd/" + fd,
      "/dev/fd/" + fd,
      "/proc/" + std::to_string(::getpid()) + "/fd/" + fd,
      file("link"),
      "/proc/self/fd/" + std::to_string(directory.get()) + "/new",
  };
  const struct {
    const char* label;
    std::function<bool(const std::string&)> operation;
  } operations[] = {
      {"writability probe", [](const std::string& path) { return isFilePathWritable_XPC(path); }},
      {"plist write", plistWrite},
      {"GET cancel file", [](const std::string& path) { return ensureCancelFile(path); }},
      {"cancel write", [](const std::string& path) { return cancelFileWrite(path); }},
  };
  for (const bool openat2 : {true, false}) {
    files::client_path_testing::useOpenat2(openat2);
    for (const auto& operation : operations) {
      for (const auto& path : paths) {
        SCOPED_TRACE(std::string(operation.label) + " " + path + (openat2 ? "" : ", no openat2"));
        EXPECT_FALSE(operation.operation(path));
        EXPECT_EQ(readFile(victim), "mine");
        EXPECT_EQ(names(), (std::vector<std::string>{"link", "victim"}));
      }
    }
  }
  files::client_path_testing::useOpenat2(true);
}

// A terminal that is no session's controlling terminal, named as a probe path, a GET's cancel
// file or a cancel write's file, must not become the service's controlling terminal (closing
// it would then hang the service up).
TEST_F(ClientPathTest, TerminalIsNeverTakenAsControllingTerminal) {
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
