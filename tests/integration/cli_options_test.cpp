// The command lines of print-xpc-call and of the services: GNU option forms, '--', the
// version and the exit codes, against a live service.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <vector>

#include "printxpc/builds.h"
#include "support/process.h"
#include "support/service_fixture.h"
#include "support/snmp_peers.h"
#include "support/test_support.h"
#include "unit/support/hostile_server.h"

namespace printxpc::test_support {
namespace {

// The service started with "--listen=PATH" rather than "--listen PATH".
RunningService startWithJoinedListen() {
  return RunningService("a", [](const std::string&, std::vector<std::string> argv) {
    return std::vector<std::string>{argv[0], argv[1] + "=" + argv[2]};
  });
}

// Runs print-xpc-call with "@S" replaced by the socket and "@D" by the service's directory.
CommandResult callWith(const RunningService& service, std::vector<std::string> args) {
  for (auto& arg : args) {
    for (const auto& [mark, value] :
         {std::pair<std::string, std::string>{"@S", service.socketPath()}, {"@D", service.dir()}}) {
      if (const auto at = arg.find(mark); at != std::string::npos) {
        arg.replace(at, mark.size(), value);
      }
    }
  }
  args.insert(args.begin(), binaryPath("tools/print-xpc-call"));
  return runCommand(args);
}

struct Case {
  std::vector<std::string> args;
  int exitCode;
  std::string out;
  std::string err;  // a part of standard error
};

TEST(CliOptions, EachFormIsAcceptedOrRefusedWithOneReason) {
  const auto service = startWithJoinedListen();
  const Case cases[] = {
      {{"--bogus", "writable", "@D/x"}, 2, "", "unrecognized option '--bogus'"},
      {{"--s", "@S", "writable", "@D/x"}, 2, "", "'--s' is ambiguous"},
      {{"--socket"}, 2, "", "'--socket' requires an argument"},
      {{"--show-request=yes", "writable", "@D/x"}, 2, "", "doesn't allow an argument"},
      {{"--service=z", "writable", "@D/x"}, 2, "", "--service takes a, b or c"},
      {{"--bus", "--socket=@S", "writable", "@D/x"}, 2, "", "--bus and --socket exclude"},
      {{"--socket=@S"}, 2, "", "missing COMMAND"},
      {{"--socket=@S", "writable", "-missing/x"}, 2, "", "writable: invalid option -- 'm'"},
      {{"--socket=@S", "snmp-get", "--t=5", "127.0.0.1", "1.3.6.1"}, 2, "", "ambiguous"},
      {{"--socket=@S", "snmp-get", "127.0.0.1", "1.3.6.1", "--mac=1"}, 2, "", "doesn't allow"},
      {{"--socket=@S", "--", "--socket=@S", "writable", "@D/x"}, 2, "", "unknown command"},
      {{"--socket=@S", "writable", "--", "@D/x", "@D/y"}, 2, "", "writable takes one PATH"},
      // Build b's protocol reached the service: --service=b was read.
      {{"--socket=@S", "--service=b", "writable", "@D/x"}, 1, "", "protocol-mismatch"},
      {{"--socket=@S", "writable", "@D/x"}, 0, "TRUE\n", ""},
      {{"--socket", "@S", "writable", "@D/x"}, 0, "TRUE\n", ""},
      {{"--sock=@S", "--serv", "a", "writable", "@D/x"}, 0, "TRUE\n", ""},
      {{"--socket=@S", "--", "writable", "@D/x"}, 0, "TRUE\n", ""},
      // '--' lets an operand start with '-'; it is sent as given.
      {{"--socket=@S", "--show-request", "writable", "--", "-missing/x"},
       0,
       "FALSE\n",
       "request: -missing/x"},
      {{"--socket=@S", "isFilePathWritable_XPC", "--", "-missing/x"}, 0, "FALSE\n", ""},
      {{"--version"}, 0, "print-xpc-call ", ""},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& arg : c.args) {
      line += arg + " ";
    }
    SCOPED_TRACE(line);
    const auto result = callWith(service, c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    if (c.args[0] == "--version") {
      EXPECT_EQ(result.out.rfind(c.out, 0), 0U) << result.out;
      for (const auto& build : kBuilds) {
        EXPECT_NE(result.out.find(protocolName(build)), std::string::npos);
      }
    } else {
      EXPECT_EQ(result.out, c.out);
    }
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    if (c.exitCode == 2) {  // the reason, then the hint: nothing more
      EXPECT_EQ(result.err.find('\n'), result.err.find("\nTry 'print-xpc-call --help'.\n"))
          << result.err;
    }
  }
}

TEST(CliOptions, SnmpGetExitStatusMarksFalseRepliesOnlyWhenAsked) {
  PRINTXPC_REQUIRE_NETNS();
  const auto service = startWithJoinedListen();
  FakeAgent agent("127.0.0.1", FakeAgent::numberedAnswers());
  ASSERT_TRUE(agent.listening());
  const std::vector<std::string> get{"--socket=@S", "snmp-get", "--cancel-file=@D/cancel",
                                     "--type=2", "127.0.0.1"};
  const struct {
    std::vector<std::string> rest;
    int exitCode;
    std::string out;
  } cases[] = {
      // An empty community: no exchange at all.
      {{numberedOid(7), "--community=", "--exit-status"}, 3, "FALSE:rtn_ExitValue=-9780\n"},
      {{numberedOid(7), "--community", "", "--exit-st"}, 3, "FALSE:rtn_ExitValue=-9780\n"},
      {{numberedOid(7), "--community="}, 0, "FALSE:rtn_ExitValue=-9780\n"},
      {{"--exit-status", numberedOid(7)}, 0, "TRUE:uResult.integer=7\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rest[0] + " " + c.rest[1]);
    auto args = get;
    args.insert(args.end(), c.rest.begin(), c.rest.end());
    const auto result = callWith(service, args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_EQ(result.out, c.out);
  }
}

TEST(CliOptions, ServiceOptionFormsAndRefusals) {
  const auto binary = binaryPath("src/service/print-xpc-service-a");
  const Case cases[] = {
      {{"--bogus"}, 2, "", "unrecognized option '--bogus'"},
      {{"--listen"}, 2, "", "'--listen' requires an argument"},
      {{"--idle-exit=soon"}, 2, "", "--idle-exit takes a whole number of seconds"},
      {{"--help=x"}, 2, "", "doesn't allow an argument"},
      {{"--log-level", "loud"}, 2, "", "--log-level takes error, warning"},
      {{"--", "extra"}, 2, "", "unexpected argument 'extra'"},
      {{"--vers"}, 0, "print-xpc-service-a ", ""},
      {{"-h"}, 0, "Usage: print-xpc-service-a ", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::vector<std::string> argv{binary};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto result = runCommand(argv);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_EQ(result.out.rfind(c.out, 0), 0U) << result.out;
    if (c.exitCode == 2) {  // the reason comes first, named by the build, then the usage
      EXPECT_EQ(result.err.rfind("print-xpc-service-a: ", 0), 0U) << result.err;
    }
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
  }
}

// Transport failures: one line each, the service's words escaped, and where a connection
// failed, the unit's status command.
TEST(CliOptions, TransportFailuresAreOneEscapedLine) {
  const std::string welcome = frame(wire::FrameKind::kWelcome, protocolName(kBuilds[0]));
  const std::string hint = "; see 'systemctl --user status print-xpc-service-a'";
  HostileServer forging(
      {welcome, frame(wire::FrameKind::kError,
                      wire::encodeErrorPayload(TransportError::kNotAvailable,
                                               "no\nprint-xpc-call: forged\x1b[0m"))});
  HostileServer closing({}, true);
  TempDir dir;
  const std::string stale = dir.file("stale.sock");  // a socket file that nobody listens on
  {
    const UniqueFd bound(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    stale.copy(address.sun_path, sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(bound.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  }
  const struct {
    std::string socket;
    std::string err;
  } cases[] = {
      {forging.path(), "print-xpc-call: not-available: no\\x0aprint-xpc-call: forged\\x1b[0m\n"},
      {closing.path(), "print-xpc-call: io-error: the service closed the connection" + hint + "\n"},
      {stale, "print-xpc-call: cannot-connect: cannot connect to " + stale +
                  ": Connection refused" + hint + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.socket);
    const auto result =
        runCommand({binaryPath("tools/print-xpc-call"), "--socket", c.socket, "writable", "/x"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, c.err);
  }
}

}  // namespace
}  // namespace printxpc::test_support
