// The client trusts only its own user's service, and both sides refuse a private directory
// that another user could have prepared.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "printxpc/builds.h"
#include "printxpc/client.h"
#include "support/process.h"
#include "support/test_support.h"

namespace printxpc::test_support {
namespace {

using namespace std::chrono_literals;

// A uid that no account uses: the other local user of these tests.
constexpr uid_t kStranger = 64071;

std::string serviceBinary() { return binaryPath("src/service/print-xpc-service-a"); }
std::string callBinary() { return binaryPath("tools/print-xpc-call"); }

std::vector<std::string> asStranger(std::vector<std::string> argv) {
  const std::string id = std::to_string(kStranger);
  std::vector<std::string> command{"setpriv",        "--reuid=" + id, "--regid=" + id,
                                   "--clear-groups", "env",           "-u",
                                   "XDG_RUNTIME_DIR"};
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

class ClientTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "needs root to act as another user";
    }
    char pattern[] = "/tmp/printxpc-trust-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(::chown(dir_.c_str(), kStranger, kStranger), 0);
    std::filesystem::remove_all(privateDir_);
  }
  void TearDown() override {
    if (!dir_.empty()) {
      std::filesystem::remove_all(dir_);
    }
    std::filesystem::remove_all(privateDir_);
  }

  std::string dir_;
  const std::string privateDir_ = "/tmp/print-xpc-" + std::to_string(kStranger);
};

TEST_F(ClientTrust, ImpostorOfAnotherUserIsRefusedBeforeAnyRequest) {
  // Another user's service listens where this client looks: the real service makes the
  // most convincing impostor, and it would write the file if it got the request.
  const std::string socket = dir_ + "/impostor.sock";
  ChildProcess impostor(asStranger({serviceBinary(), "--listen", socket}));
  ASSERT_TRUE(waitForSocket(socket, 10s));

  auto connected = ServiceClient::connect(socket, protocolName(kBuilds[0]));
  ASSERT_FALSE(connected);
  const auto& failure = connected.error();
  EXPECT_EQ(failure.code, errorCode(ClientError::kServerNotTrusted)) << failure.message;
  EXPECT_NE(failure.message.find(std::to_string(kStranger)), std::string::npos);

  const std::string target = dir_ + "/settings.plist";
  const auto written = runCommand(
      {callBinary(), "--socket", socket, "write-plist", "file://" + target, "-"}, "<plist/>");
  EXPECT_EQ(written.exitCode, 1);
  EXPECT_NE(written.err.find("server-not-trusted"), std::string::npos) << written.err;
  EXPECT_FALSE(std::filesystem::exists(target));
}

// Both sides refuse, and say how to get out: only the owner of the name or root can remove it
// from sticky /tmp, and XDG_RUNTIME_DIR avoids /tmp altogether.
TEST_F(ClientTrust, PrivateDirectoryPreparedByOthersIsRefusedByBothSides) {
  const std::string other = dir_ + "/elsewhere";
  const auto ownDirectory = [](mode_t mode) {
    return [mode](const std::string& path) {
      ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
      ASSERT_EQ(::chown(path.c_str(), kStranger, kStranger), 0);
      ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    };
  };
  const std::string ownRemedy = "remove it, or set XDG_RUNTIME_DIR";
  const struct {
    const char* name;
    std::function<void(const std::string&)> prepare;
    std::string remedy;  // a part of both messages
  } cases[] = {
      {"owned by root", [](const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); },
       "only root can remove it"},
      {"owned by a third user",
       [](const std::string& path) {
         ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
         ASSERT_EQ(::chown(path.c_str(), kStranger + 1, kStranger + 1), 0);
       },
       "only its owner (uid " + std::to_string(kStranger + 1) + ") or root can remove it"},
      {"open to others", ownDirectory(0755), ownRemedy},
      {"open to the group", ownDirectory(0750), ownRemedy},
      {"open to others but not the group", ownDirectory(0707), ownRemedy},
      {"writable by the group", ownDirectory(0770), ownRemedy},
      {"a symbolic link to the user's own directory",
       [&other](const std::string& path) {
         ASSERT_EQ(::mkdir(other.c_str(), 0700), 0);
         ASSERT_EQ(::chown(other.c_str(), kStranger, kStranger), 0);
         ASSERT_EQ(::symlink(other.c_str(), path.c_str()), 0);
       },
       "only root can remove it"},
      {"a file", [](const std::string& path) { ASSERT_TRUE(std::ofstream(path).good()); },
       "only root can remove it"},
  };
  for (const auto& prepared : cases) {
    SCOPED_TRACE(prepared.name);
    std::filesystem::remove_all(privateDir_);
    std::filesystem::remove_all(other);
    prepared.prepare(privateDir_);

    const auto service = runCommand(asStranger({serviceBinary()}));
    EXPECT_EQ(service.exitCode, 1);
    EXPECT_NE(service.err.find(privateDir_), std::string::npos) << service.err;
    EXPECT_NE(service.err.find(prepared.remedy), std::string::npos) << service.err;
    EXPECT_NE(service.err.find("XDG_RUNTIME_DIR"), std::string::npos) << service.err;
    const auto client = runCommand(asStranger({callBinary(), "writable", dir_ + "/x"}));
    EXPECT_EQ(client.exitCode, 1);
    EXPECT_NE(client.err.find("unsafe-directory"), std::string::npos) << client.err;
    EXPECT_NE(client.err.find(prepared.remedy), std::string::npos) << client.err;
    // The GET's default cancel file lives there too.
    const auto get = runCommand(asStranger(
        {callBinary(), "--socket", dir_ + "/none.sock", "snmp-get", "127.0.0.1", "1.3.6.1"}));
    EXPECT_EQ(get.exitCode, 1);
    EXPECT_NE(get.err.find("unsafe-directory"), std::string::npos) << get.err;
  }
}

TEST_F(ClientTrust, ServiceAndClientMeetInAFreshPrivateDirectory) {
  ChildProcess service(asStranger({serviceBinary()}));
  const std::string socket = privateDir_ + "/print-xpc-service-a.sock";
  ASSERT_TRUE(waitForSocket(socket, 10s));
  struct stat status {};
  ASSERT_EQ(::lstat(privateDir_.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_uid, kStranger);
  EXPECT_EQ(status.st_mode & 0777, 0700U);

  const auto reply = runCommand(asStranger({callBinary(), "writable", dir_ + "/x"}));
  EXPECT_EQ(reply.exitCode, 0) << reply.err;
  EXPECT_EQ(reply.out, "TRUE\n");
  const auto get =
      runCommand(asStranger({callBinary(), "--show-request", "--socket", dir_ + "/none.sock",
                             "snmp-get", "127.0.0.1", "1.3.6.1"}));
  EXPECT_NE(get.err.find(privateDir_ + "/print-xpc-call.cancel:CancelFileName:"), std::string::npos)
      << get.err;
}

}  // namespace
}  // namespace printxpc::test_support
