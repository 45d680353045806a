// The service on a private session bus, called by independent D-Bus clients (busctl, gdbus).
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "printxpc/builds.h"
#include "printxpc/client.h"
#include "protocol/bus_names.h"
#include "protocol/requests.h"
#include "protocol/wire.h"
#include "shared/wait.h"
#include "support/private_bus.h"
#include "support/process.h"
#include "support/snmp_peers.h"
#include "support/test_support.h"

namespace printxpc::test_support {
namespace {

using namespace std::chrono_literals;

constexpr char kAgent[] = "127.0.0.2";
const std::string kName = bus::busName(*findBuild("a"));

std::string serviceBinary() { return binaryPath("src/service/print-xpc-service-a"); }

// Service build a on a socket of its own and on the test's private bus.
class BusFrontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PRINTXPC_REQUIRE_NETNS();
    socket_ = bus_.dir() + "/service.sock";
    service_ = ChildProcess({serviceBinary(), "--listen", socket_}, {bus_.environment()});
    ASSERT_TRUE(waitForSocket(socket_, 10s));
    ASSERT_TRUE(bus_.waitForOwner(kName, true, 10s));
  }

  friend class SilentGet;
  std::string overSocket(Operation operation, const std::string& request) const {
    auto client = ServiceClient::connect(socket_, protocolName(*findBuild("a")));
    if (!client) {
      return "transport error: " + client.error().message;
    }
    auto reply = client->call(selectorOf(operation), request);
    if (!reply) {
      return "transport error: " + reply.error().message;
    }
    return std::move(*reply);
  }

  CommandResult overBus(Operation operation, const std::string& request) const {
    return bus_.call(kName, std::string(bus::methodOf(operation)), request);
  }

  PrivateBus bus_;
  std::string socket_;
  ChildProcess service_;
};

TEST_F(BusFrontTest, ErrorsThatAreNotRepliesAreBusErrors) {
  const std::string path(bus::kObjectPath);
  const std::string interface(bus::kInterface);
  const struct {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{"call", kName, path, interface, "IsFilePathWritable", "i", "3"}, "Invalid arguments 'i'"},
      {{"call", kName, path, interface, "IsFilePathWritable"}, "Invalid arguments ''"},
      {{"call", kName, path, interface, "NoSuchMethod", "s", "x"}, "Unknown method"},
      {{"call", kName, "/elsewhere", interface, "IsFilePathWritable", "s", "x"}, "Unknown object"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[4]);
    const auto answer = bus_.busctl(c.args);
    EXPECT_NE(answer.exitCode, 0);
    EXPECT_NE(answer.err.find(c.error), std::string::npos) << answer.err;
  }
  // Above the socket's bound on a request (too long for a command line: print-xpc-call).
  const auto large =
      runCommand({binaryPath("tools/print-xpc-call"), "--bus", "isFilePathWritable_XPC", "-"},
                 std::string(wire::kMaxPayload + 1, 'a'), {bus_.environment()});
  EXPECT_EQ(large.exitCode, 1);
  EXPECT_NE(large.err.find("LimitsExceeded"), std::string::npos) << large.err;
  // A reply of FALSE stays a reply.
  EXPECT_EQ(overBus(Operation::kIsFilePathWritable, "").out, "s \"FALSE\"\n");
}

TEST_F(BusFrontTest, EveryMethodAnswersAsTheSocket) {
  FakeAgent agent(kAgent, FakeAgent::numberedAnswers());
  const std::string dir = bus_.dir();
  const std::string cancelFile = dir + "/get.cancel";
  const struct {
    Operation operation;
    std::string request;
  } rows[] = {
      {Operation::kIsFilePathWritable, dir + "/new.pdf"},
      {Operation::kIsFilePathWritable, ""},
      {Operation::kIsFilePathWritable, "relative/path"},
      {Operation::kWriteDictionaryToPlistFile,
       requests::buildPlistWrite("file://" + dir + "/a%20b.plist", "<plist/>")},
      {Operation::kWriteDictionaryToPlistFile, requests::buildPlistWrite("http://x/y", "<plist/>")},
      {Operation::kWriteDictionaryToPlistFile, "no markers at all"},
      {Operation::kSendMagicPacket,
       requests::buildMagicPacket("127.0.0.1", "00:11:22:33:44:55", std::nullopt)},
      {Operation::kSendMagicPacket, requests::buildMagicPacket("127.0.0.1", "zz", std::nullopt)},
      {Operation::kSendEchoAndRecvReply, requests::buildEcho("127.0.0.1", 2000)},
      {Operation::kSendEchoAndRecvReply, requests::buildEcho("printer.local", 100)},
      {Operation::kPdeSnmpGet, snmpGetRequest(kAgent, numberedOid(7), cancelFile, 2000)},
      {Operation::kPdeSnmpGet, snmpGetRequest("printer.local", numberedOid(7), cancelFile, 100)},
      {Operation::kPdeSnmpGet, "garbage"},
      {Operation::kCancelFileWrite, requests::buildCancelWrite(dir + "/none.cancel")},
      {Operation::kCancelFileWrite, "garbage"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(bus::methodOf(row.operation)) + " " + row.request);
    const std::string expected = overSocket(row.operation, row.request);
    ASSERT_EQ(expected.find_first_of("\"\\"), std::string::npos) << "busctl would escape it";
    const auto answer = overBus(row.operation, row.request);
    EXPECT_EQ(answer.exitCode, 0) << answer.err;
    EXPECT_EQ(answer.out, "s \"" + expected + "\"\n");
    // print-xpc-call --bus, raw.
    const auto raw = runCommand({binaryPath("tools/print-xpc-call"), "--bus",
                                 std::string(selectorOf(row.operation)), row.request},
                                "", {bus_.environment()});
    EXPECT_EQ(raw.exitCode, 0) << raw.err;
    EXPECT_EQ(raw.out, expected + "\n");
  }
}

// A GET over the bus to an agent that never answers, until its cancel file is written.
class SilentGet {
 public:
  SilentGet(const BusFrontTest& test, const std::string& cancelFile)
      : agent_(kAgent, [](const SnmpRequest&) { return std::vector<Reply>{}; }) {
    reply_ = std::async(std::launch::async, [&test, cancelFile] {
      return test.overBus(Operation::kPdeSnmpGet,
                          snmpGetRequest(kAgent, numberedOid(1), cancelFile, 60000, 2, 0));
    });
    waitUntil([this] { return agent_.requestsSeen() > 0; });
  }
  bool waiting() {
    return agent_.requestsSeen() > 0 && reply_.wait_for(0s) != std::future_status::ready;
  }
  std::string reply() { return reply_.get().out; }

 private:
  FakeAgent agent_;
  std::future<CommandResult> reply_;
};

TEST_F(BusFrontTest, AGetToASilentAddressDoesNotDelayOtherCallers) {
  const std::string cancelFile = bus_.dir() + "/slow.cancel";
  SilentGet get(*this, cancelFile);
  ASSERT_TRUE(get.waiting()) << "the GET never reached the agent";
  // The GET waits for its answer; another caller is served meanwhile.
  EXPECT_EQ(overBus(Operation::kIsFilePathWritable, bus_.dir() + "/x").out, "s \"TRUE\"\n");
  EXPECT_TRUE(get.waiting());
  EXPECT_EQ(overBus(Operation::kCancelFileWrite, requests::buildCancelWrite(cancelFile)).out,
            "s \"TRUE\"\n");
  EXPECT_EQ(get.reply(), "s \"FALSE:rtn_ExitValue=-1\"\n");
}

TEST_F(BusFrontTest, SigtermReleasesTheNameAndAnswersTheCallInProgress) {
  const std::string cancelFile = bus_.dir() + "/slow.cancel";
  SilentGet get(*this, cancelFile);
  ASSERT_TRUE(get.waiting()) << "the GET never reached the agent";
  service_.signal(SIGTERM);
  ASSERT_TRUE(bus_.waitForOwner(kName, false, 10s));
  EXPECT_TRUE(get.waiting());
  std::ofstream(cancelFile, std::ios::app) << '\x01';  // ends the GET
  EXPECT_EQ(get.reply(), "s \"FALSE:rtn_ExitValue=-1\"\n");
  EXPECT_EQ(service_.wait(20s), 0);
}

TEST_F(BusFrontTest, AnotherUserIsRefusedEvenWhereTheBusAdmitsIt) {
  // The bus must know the user (it looks up its groups): nobody, which runs nothing here.
  const std::vector<std::string> asNobody{"setpriv", "--reuid", "65534",
                                          "--regid", "65534",   "--clear-groups"};
  const std::string target = bus_.dir() + "/planted.plist";
  std::vector<std::string> argv = asNobody;
  argv.insert(argv.end(), {"gdbus", "call", "--address", bus_.address(), "--dest", kName,
                           "--object-path", std::string(bus::kObjectPath), "--method",
                           std::string(bus::kInterface) + ".WriteDictionaryToPlistFile",
                           requests::buildPlistWrite("file://" + target, "<plist/>")});
  const auto answer = runCommand(argv);
  EXPECT_NE(answer.exitCode, 0);
  EXPECT_NE(answer.err.find("org.freedesktop.DBus.Error.AccessDenied"), std::string::npos)
      << answer.err;
  EXPECT_FALSE(std::filesystem::exists(target));
  // The same bus still serves the service's own user.
  EXPECT_EQ(overBus(Operation::kIsFilePathWritable, bus_.dir() + "/x").out, "s \"TRUE\"\n");
}

// The interface element, with the layout between tags taken out.
std::string interfaceElement(const std::string& xml) {
  const auto begin = xml.find("<interface name=\"" + std::string(bus::kInterface) + "\"");
  const auto end = xml.find("</interface>", begin);
  if (begin == std::string::npos || end == std::string::npos) {
    return "no interface in:\n" + xml;
  }
  return std::regex_replace(xml.substr(begin, end - begin), std::regex(">\\s+<"), "><");
}

TEST_F(BusFrontTest, IntrospectionMatchesTheInstalledDescription) {
  std::ifstream file(std::string(PRINTXPC_SOURCE_DIR) +
                     "/packaging/dbus/org.printxpc.Service1.xml");
  std::stringstream installed;
  installed << file.rdbuf();
  const auto live =
      bus_.busctl({"introspect", "--xml-interface", kName, std::string(bus::kObjectPath)});
  ASSERT_EQ(live.exitCode, 0) << live.err;
  EXPECT_EQ(interfaceElement(live.out), interfaceElement(installed.str()));
}

TEST(BusActivation, FirstCallStartsTheServiceAndAgainAfterIdleExit) {
  PRINTXPC_REQUIRE_NETNS();
  PrivateBus bus;
  bus.addService(kName,
                 serviceBinary() + " --listen " + bus.dir() + "/activated.sock --idle-exit 1");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_FALSE(bus.hasOwner(kName));
    const auto answer = bus.call(kName, "IsFilePathWritable", bus.dir() + "/x");
    EXPECT_EQ(answer.out, "s \"TRUE\"\n") << answer.err;
    // One process serves the socket too.
    EXPECT_TRUE(waitForSocket(bus.dir() + "/activated.sock", 10s));
    // Idle, it leaves and gives the name back.
    ASSERT_TRUE(bus.waitForOwner(kName, false, 30s));
  }
}

}  // namespace
}  // namespace printxpc::test_support
