// The service executables and print-xpc-call as a user runs them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <string>

#include "common/unique_fd.h"
#include "printxpc/builds.h"
#include "printxpc/client.h"
#include "service/socket/listen_socket.h"
#include "support/process.h"
#include "support/socket_activator.h"
#include "support/test_support.h"

namespace printxpc::test_support {
namespace {

using namespace std::chrono_literals;

std::string serviceBinary(std::string_view id) {
  return binaryPath("src/service/print-xpc-service-" + std::string(id));
}
std::string callBinary() { return binaryPath("tools/print-xpc-call"); }

class ServiceProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/printxpc-it-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ::chmod(dir_.c_str(), 0755);
    socket_ = dir_ + "/service.sock";
  }
  void TearDown() override {
    service_ = ChildProcess();
    std::filesystem::remove_all(dir_);
  }

  void startService(std::string_view id = "a") {
    service_ = ChildProcess({serviceBinary(id), "--listen", socket_});
    ASSERT_TRUE(waitForSocket(socket_, 5s));
  }

  CommandResult call(const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> argv{callBinary(), "--socket", socket_};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv, input);
  }

  std::string dir_;
  std::string socket_;
  ChildProcess service_;
};

TEST_F(ServiceProcessTest, EachBuildShowsItsIdentityAndModels) {
  const struct {
    const char* id;
    int rows;
    const char* firstModel;
  } builds[] = {{"a", 4, "ARVELLO TESSIN zarvik T41"},
                {"b", 3, "ARVELLO TESSIN zarvik P118"},
                {"c", 1, "ARVELLO TESSIN zarvik P112"}};
  for (const auto& build : builds) {
    SCOPED_TRACE(build.id);
    const auto version = runCommand({serviceBinary(build.id), "--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_NE(version.out.find("print-xpc-service-" + std::string(build.id)), std::string::npos);
    EXPECT_NE(version.out.find("protocol " + protocolName(*findBuild(build.id))),
              std::string::npos);
    EXPECT_NE(version.out.find(build.firstModel), std::string::npos);
    int rows = 0;
    for (std::size_t at = 0; (at = version.out.find("| key ", at)) != std::string::npos; ++at) {
      ++rows;
    }
    EXPECT_EQ(rows, build.rows);

    const auto help = runCommand({serviceBinary(build.id), "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--idle-exit"), std::string::npos);
    EXPECT_EQ(runCommand({serviceBinary(build.id), "--bogus"}).exitCode, 2);
    EXPECT_EQ(runCommand({serviceBinary(build.id), "--idle-exit", "soon"}).exitCode, 2);
  }
  // The three suffixes differ, and each is a UUID with underscores.
  EXPECT_NE(kBuilds[0].suffix, kBuilds[1].suffix);
  EXPECT_NE(kBuilds[1].suffix, kBuilds[2].suffix);
  for (const auto& build : kBuilds) {
    ASSERT_EQ(build.suffix.size(), 36U);
    for (const std::size_t at : {8U, 13U, 18U, 23U}) {
      EXPECT_EQ(build.suffix[at], '_');
    }
  }
}

TEST_F(ServiceProcessTest, ServesOnlyClientsOfItsOwnBuild) {
  startService("a");
  const auto own = call({"--service", "a", "writable", dir_ + "/out.pdf"});
  EXPECT_EQ(own.exitCode, 0) << own.err;
  EXPECT_EQ(own.out, "TRUE\n");
  for (const char* other : {"b", "c"}) {
    const auto foreign = call({"--service", other, "writable", dir_ + "/out.pdf"});
    EXPECT_EQ(foreign.exitCode, 1);
    EXPECT_EQ(foreign.out, "");
    EXPECT_NE(foreign.err.find("protocol-mismatch"), std::string::npos) << foreign.err;
  }
}

TEST_F(ServiceProcessTest, ClientExitCodesAndRawRequests) {
  startService();
  EXPECT_EQ(call({"isFilePathWritable_XPC:reply:", dir_ + "/x"}).out, "TRUE\n");
  EXPECT_EQ(call({"isFilePathWritable_XPC", "-"}, dir_ + "/y").out, "TRUE\n");
  EXPECT_EQ(call({"isFilePathWritable_XPC", dir_ + "/missing/dir/x"}).out, "FALSE\n");
  const auto unknown = call({"printPage_XPC:reply:", "x"});
  EXPECT_EQ(unknown.exitCode, 2);  // not an operation the client knows
  EXPECT_EQ(call({"writable"}).exitCode, 2);
  EXPECT_EQ(call({"--service", "z", "writable", "/tmp"}).exitCode, 2);
  EXPECT_EQ(runCommand({callBinary(), "--help"}).exitCode, 0);
  const auto nobodyHome =
      runCommand({callBinary(), "--socket", dir_ + "/none.sock", "writable", "/tmp"});
  EXPECT_EQ(nobodyHome.exitCode, 1);
  EXPECT_NE(nobodyHome.err.find("cannot connect"), std::string::npos);
}

TEST_F(ServiceProcessTest, RefusesToStartWhereALiveServiceAnswers) {
  startService();
  const auto second = runCommand({serviceBinary("a"), "--listen", socket_});
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.err.find("already answers"), std::string::npos) << second.err;
  EXPECT_EQ(call({"writable", dir_ + "/x"}).out, "TRUE\n");
}

// Socket activation variables that are not what a service manager sets stop the start with
// a message naming them, before any socket file is made; those of another process are not
// for this one.
TEST_F(ServiceProcessTest, RefusesMalformedSocketActivationVariables) {
  const struct {
    const char* variables;  // for sh, where $$ is the pid that the service gets by exec
    int exitCode;
    const char* message;
  } cases[] = {
      {"LISTEN_PID=$$ LISTEN_FDS=abc", 1, "LISTEN_FDS='abc'"},
      {"LISTEN_PID=$$ LISTEN_FDS=-1", 1, "LISTEN_FDS='-1'"},
      {"LISTEN_PID=$$ LISTEN_FDS=1x", 1, "LISTEN_FDS='1x'"},
      {"LISTEN_PID=${$}x LISTEN_FDS=1", 1, "LISTEN_PID='"},
      {"LISTEN_PID=$$ LISTEN_FDS=1", 1, "not a listening Unix stream socket"},  // fd 3: a file
      {"LISTEN_PID=1 LISTEN_FDS=zz", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variables);
    const std::string script = std::string(c.variables) + " exec \"$@\" 3</dev/null";
    const auto result = runCommand({"sh", "-c", script, "sh", serviceBinary("a"), "--listen",
                                    socket_, "--no-bus", "--idle-exit", "1"});
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    if (c.exitCode != 0) {
      EXPECT_FALSE(std::filesystem::exists(socket_));
    }
  }
}

TEST_F(ServiceProcessTest, ReplacesAStaleSocketFile) {
  {
    const auto stale = listenAt(socket_);
    ASSERT_TRUE(stale);
  }  // closed: the file stays behind with nobody answering
  ASSERT_TRUE(std::filesystem::exists(socket_));
  startService();
  EXPECT_EQ(call({"writable", dir_ + "/x"}).out, "TRUE\n");
}

TEST_F(ServiceProcessTest, SigtermRemovesTheSocketAndExitsZero) {
  startService();
  EXPECT_EQ(call({"writable", dir_ + "/x"}).out, "TRUE\n");
  service_.signal(SIGTERM);
  EXPECT_EQ(service_.wait(15s), 0);
  EXPECT_FALSE(std::filesystem::exists(socket_));
}

TEST_F(ServiceProcessTest, AnotherUserCannotConnect) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to run the client as nobody";
  }
  startService();
  struct stat status {};
  ASSERT_EQ(::stat(socket_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600U);
  const auto asNobody = runCommand({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                    callBinary(), "--socket", socket_, "writable", "/tmp/x"});
  EXPECT_EQ(asNobody.exitCode, 1);
  EXPECT_NE(asNobody.err.find("Permission denied"), std::string::npos) << asNobody.err;
  EXPECT_EQ(call({"writable", dir_ + "/x"}).out, "TRUE\n");
}

TEST_F(ServiceProcessTest, StartsUnderSystemdSocketActivateAndLeavesWhenIdle) {
  ChildProcess activator(
      // The sanitizer settings of scripts/test reach the service only when passed on.
      {"systemd-socket-activate", "-l", socket_, "-E", "ASAN_OPTIONS", "-E", "UBSAN_OPTIONS", "-E",
       "TSAN_OPTIONS", serviceBinary("a"), "--idle-exit", "1"});
  ASSERT_TRUE(waitForSocket(socket_, 5s));
  const auto first = call({"writable", dir_ + "/x"});
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(first.out, "TRUE\n");
  EXPECT_EQ(activator.wait(10s), 0);  // idle for a second: the service has left
}

TEST_F(ServiceProcessTest, ConnectionAfterIdleExitStartsAFreshService) {
  SocketActivator activator(socket_);
  const std::vector<std::string> service{serviceBinary("a"), "--idle-exit", "1"};
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const auto result = activator.serveWhile(service, [&] {
      return call({"writable", dir_ + "/x"});
    });
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "TRUE\n");
    EXPECT_EQ(activator.service().wait(10s), 0);  // left after a second without connections
  }
  EXPECT_EQ(activator.starts(), 2);
  EXPECT_TRUE(std::filesystem::exists(socket_));  // an activated service leaves the file alone
}

}  // namespace
}  // namespace printxpc::test_support
