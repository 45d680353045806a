#include "files/cancel_file.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
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
using test_support::readFile;
using test_support::TempDir;
using test_support::writeFile;

// A generous bound that only keeps a blocked call from hanging the test.
constexpr auto kGuard = 10000ms;

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

// --- Hostile files ------------------------------------------------------------------------

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

}  // namespace
}  // namespace printxpc
