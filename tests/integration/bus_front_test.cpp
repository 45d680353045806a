// The service on a private session bus beside its socket: the same requests through both
// fronts get the same answers, errors and log lines, called by independent D-Bus clients
// (busctl, gdbus) and by print-xpc-call over either front. The core's limits (one admission
// count, one byte budget, one drain) are looked at in a core run in the test's process,
// whose counts the tests wait on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "models/model_table.h"
#include "printxpc/builds.h"
#include "printxpc/client.h"
#include "protocol/bus_names.h"
#include "protocol/bus_support.h"
#include "protocol/requests.h"
#include "protocol/wire.h"
#include "service/bus/bus_front.h"
#include "service/core/service_core.h"
#include "service/socket/listen_socket.h"
#include "service/socket/socket_front.h"
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
// A uid that the bus daemon knows (it looks up the groups of each user that connects), and
// that runs nothing here: the other local user of these tests.
constexpr uid_t kNobody = 65534;

std::string serviceBinary() { return binaryPath("src/service/print-xpc-service-a"); }
std::string callBinary() { return binaryPath("tools/print-xpc-call"); }

std::vector<std::string> asNobody(std::vector<std::string> argv) {
  const std::string id = std::to_string(kNobody);
  argv.insert(argv.begin(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
  return argv;
}

// The service's command line, with its standard error (the log) appended to `log`.
std::vector<std::string> loggingTo(const std::string& log, std::vector<std::string> argv) {
  argv.insert(argv.begin(), {"sh", "-c", "exec \"$@\" 2>>'" + log + "'", "service"});
  return argv;
}

std::string fileText(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The operation lines of a log, each as "FRONT OPERATION RESULT", in the order written.
std::vector<std::string> operationLines(const std::string& log, std::string_view front) {
  static const std::regex kLine(
      "\\[FRONT=(\\w+) OPERATION=(\\S+) PEER_UID=\\d+ RESULT=(\\S*) DURATION_USEC=\\d+\\]");
  std::vector<std::string> lines;
  for (std::sregex_iterator it(log.begin(), log.end(), kLine), end; it != end; ++it) {
    if ((*it)[1].str() == front) {
      lines.push_back((*it)[2].str() + " " + (*it)[3].str());
    }
  }
  return lines;
}

// A GET to the agent whose request string is `size` bytes long: an argument entry that the
// GET carries but never reads makes up the length.
std::string getOfSize(const std::string& cancelFile, std::size_t size) {
  requests::SnmpGetFields fields;
  fields.iType = 2;
  fields.cancelFlag = 0;
  fields.cancelFileName = cancelFile;
  fields.timeoutMs = 60000;
  fields.args = requests::snmpGetArgs("public", kAgent, numberedOid(1));
  const std::size_t base = requests::buildSnmpGet(fields).size();
  fields.args[0].append(size > base ? size - base : 0, 'x');
  return requests::buildSnmpGet(fields);
}

// An agent that never answers, counting the requests that reach it.
FakeAgent silentAgent() {
  return FakeAgent(kAgent, [](const SnmpRequest&) { return std::vector<Reply>{}; });
}

// Service build a on a socket of its own and on the test's private bus, logging at debug
// level to a file.
class BusFrontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PRINTXPC_REQUIRE_NETNS();
    socket_ = bus_.dir() + "/service.sock";
    log_ = bus_.dir() + "/service.log";
    service_ = ChildProcess(
        loggingTo(log_, {serviceBinary(), "--listen", socket_, "--log-level", "debug"}),
        {bus_.environment()});
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

  // print-xpc-call over the socket or the bus, the request string on its standard input.
  CommandResult callThrough(const std::string& front, Operation operation,
                            const std::string& request) const {
    std::vector<std::string> argv{callBinary()};
    if (front == "bus") {
      argv.emplace_back("--bus");
    } else {
      argv.insert(argv.end(), {"--socket", socket_});
    }
    argv.insert(argv.end(), {std::string(selectorOf(operation)), "-"});
    return runCommand(argv, request, {bus_.environment()});
  }

  PrivateBus bus_;
  std::string socket_;
  std::string log_;
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
  // A request string that sd-bus will not read (a noncharacter, which GLib sends) is
  // answered all the same.
  const auto unreadable =
      runCommand({"gdbus", "call", "--address", bus_.address(), "--dest", kName, "--object-path",
                  path, "--method", interface + ".IsFilePathWritable", "/tmp/\xEF\xBF\xBE"});
  EXPECT_NE(unreadable.exitCode, 0);
  EXPECT_NE(unreadable.err.find("InvalidArgs"), std::string::npos) << unreadable.err;
  // A reply of FALSE stays a reply.
  EXPECT_EQ(overBus(Operation::kIsFilePathWritable, "").out, "s \"FALSE\"\n");
}

// The same requests over the socket and over the bus (print-xpc-call over each, and busctl
// where a command line can carry the request): the same replies, the same errors where the
// bus has its own names for them, and the same operation lines in the log.
TEST_F(BusFrontTest, SameRequestsGetTheSameAnswersErrorsAndLogLinesOverBothFronts) {
  // An agent that answers numbered OIDs, and OID 1.3.6.1.4.1.9.99.1 with a text that ends
  // in U+FFFE: valid UTF-8, which the socket carries and sd-bus does not.
  const std::string noncharacterOid = "1.3.6.1.4.1.9.99.1";
  const auto numbered = FakeAgent::numberedAnswers();
  FakeAgent agent(kAgent, [&](const SnmpRequest& request) {
    const auto ids = oidSubIdentifiers(request.oidContent);
    if (ids.size() == 9 && ids[7] == 99) {
      const Bytes text{'a', 0xEF, 0xBF, 0xBE};
      return std::vector<Reply>{{getResponse(request.community, request.requestIdContent,
                                             request.oidContent, tlv(0x04, text))}};
    }
    return numbered(request);
  });
  const std::string dir = bus_.dir();
  const std::string cancelFile = dir + "/get.cancel";
  const std::string largest(wire::kMaxRequest, 'a');
  struct Row {
    Operation operation;
    std::string request;
    // What print-xpc-call prints over each front; empty for the bus: as over the socket.
    std::string socketAnswer;
    std::string busAnswer;
    // The operation line's result, the same over both fronts; empty: no line.
    std::string logged;
  };
  const Row failures[] = {
      {Operation::kPdeSnmpGet, snmpGetRequest(kAgent, noncharacterOid, cancelFile, 2000, 4),
       "TRUE:uResult.string=a\xEF\xBF\xBE", "org.printxpc.Service1.Error.ReplyNotText", "TRUE"},
      // The one bound on a request string, 8 MiB, whichever front it came through.
      {Operation::kIsFilePathWritable, largest, "FALSE", "", "FALSE"},
      {Operation::kIsFilePathWritable, largest + "a", "frame-too-large: the request string",
       "org.freedesktop.DBus.Error.LimitsExceeded: the request string", ""},
  };
  std::vector<Row> rows(std::begin(failures), std::end(failures));
  for (const Row& row : std::initializer_list<Row>{
           {Operation::kIsFilePathWritable, dir + "/new.pdf"},
           {Operation::kIsFilePathWritable, ""},
           {Operation::kIsFilePathWritable, "relative/path"},
           {Operation::kWriteDictionaryToPlistFile,
            requests::buildPlistWrite("file://" + dir + "/a%20b.plist", "<plist/>")},
           {Operation::kWriteDictionaryToPlistFile,
            requests::buildPlistWrite("http://x/y", "<plist/>")},
           {Operation::kWriteDictionaryToPlistFile, "no markers at all"},
           {Operation::kSendMagicPacket,
            requests::buildMagicPacket("127.0.0.1", "00:11:22:33:44:55", std::nullopt)},
           {Operation::kSendMagicPacket,
            requests::buildMagicPacket("127.0.0.1", "zz", std::nullopt)},
           {Operation::kSendEchoAndRecvReply, requests::buildEcho("127.0.0.1", 2000)},
           {Operation::kSendEchoAndRecvReply, requests::buildEcho("printer.local", 100)},
           {Operation::kPdeSnmpGet, snmpGetRequest(kAgent, numberedOid(7), cancelFile, 2000)},
           {Operation::kPdeSnmpGet,
            snmpGetRequest("printer.local", numberedOid(7), cancelFile, 100)},
           {Operation::kPdeSnmpGet, "garbage"},
           {Operation::kCancelFileWrite, requests::buildCancelWrite(dir + "/none.cancel")},
           {Operation::kCancelFileWrite, "garbage"},
       }) {
    rows.push_back(row);
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(bus::methodOf(row.operation)) + " " + row.request.substr(0, 80) +
                 " (" + std::to_string(row.request.size()) + " bytes)");
    const std::size_t logBefore = fileText(log_).size();
    const auto socket = callThrough("socket", row.operation, row.request);
    const auto overTheBus = callThrough("bus", row.operation, row.request);
    const std::string socketOut = socket.exitCode == 0 ? socket.out : socket.err;
    if (row.socketAnswer.empty()) {
      // An ordinary row: a reply over the socket, and that reply over the bus.
      EXPECT_EQ(socket.exitCode, 0) << socket.err;
      EXPECT_EQ(overTheBus.exitCode, 0) << overTheBus.err;
      EXPECT_EQ(overTheBus.out, socket.out);
    } else {
      EXPECT_NE(socketOut.find(row.socketAnswer), std::string::npos) << socketOut;
      const std::string& busAnswer = row.busAnswer.empty() ? row.socketAnswer : row.busAnswer;
      const std::string busOut = overTheBus.exitCode == 0 ? overTheBus.out : overTheBus.err;
      EXPECT_NE(busOut.find(busAnswer), std::string::npos) << busOut;
    }
    // An independent client, where the command line can carry the request.
    std::string logged = row.logged;
    int busCalls = logged.empty() && !row.socketAnswer.empty() ? 0 : 1;
    if (row.socketAnswer.empty()) {
      const std::string reply = socket.out.substr(0, socket.out.size() - 1);
      logged = reply.substr(0, reply.find_first_of(": =\t\n"));
      if (reply.find_first_of("\"\\") == std::string::npos && row.request.size() < 4096) {
        const auto answer = overBus(row.operation, row.request);
        EXPECT_EQ(answer.out, "s \"" + reply + "\"\n") << answer.err;
        ++busCalls;
      }
    }
    // One operation line for each call, alike over both fronts.
    const std::string log = fileText(log_).substr(logBefore);
    const std::string line = std::string(selectorOf(row.operation)) + " " + logged;
    EXPECT_EQ(operationLines(log, "socket"),
              logged.empty() ? std::vector<std::string>{} : std::vector<std::string>{line})
        << log;
    EXPECT_EQ(operationLines(log, "bus"), std::vector<std::string>(busCalls, line)) << log;
  }
}

// A GET over the bus to an agent that never answers, until its cancel file is written.
class SilentGet {
 public:
  SilentGet(const BusFrontTest& test, const std::string& cancelFile) : agent_(silentAgent()) {
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
  EXPECT_NE(fileText(log_).find("stopped by SIGTERM from pid"), std::string::npos);
}

// One drain for both fronts: requests that still run when its one bound has passed are cut
// off over either front, and the stop line says which.
TEST_F(BusFrontTest, OneDrainBoundForBothFrontsAndTheStopLineSaysWhatWasCutOff) {
  const FakeAgent agent = silentAgent();
  const std::string cancelFile = bus_.dir() + "/never.cancel";
  const std::string request = snmpGetRequest(kAgent, numberedOid(1), cancelFile, 60000, 2, 0);
  auto socketReply =
      std::async(std::launch::async, [&] { return overSocket(Operation::kPdeSnmpGet, request); });
  auto overTheBus =
      std::async(std::launch::async, [&] { return overBus(Operation::kPdeSnmpGet, request); });
  ASSERT_TRUE(waitUntil([&] { return agent.requestsSeen() == 2; }))
      << agent.requestsSeen() << " GETs at the agent; the log:\n"
      << fileText(log_);
  service_.signal(SIGTERM);
  EXPECT_EQ(service_.wait(kFailureGuard), 0);
  // Neither caller waits for its 60 s: the socket's connection is closed, the bus daemon
  // answers for the service that left.
  EXPECT_NE(socketReply.get().find("transport error"), std::string::npos);
  const auto bus = overTheBus.get();
  EXPECT_NE(bus.exitCode, 0);
  EXPECT_NE(bus.err.find("disconnected from message bus without replying"), std::string::npos)
      << bus.err;
  EXPECT_TRUE(std::regex_search(
      fileText(log_),
      std::regex("stopped by SIGTERM from pid [0-9]+; still running after 10 s and cut off: 1 "
                 "request over the socket and 1 bus call \\[.*CUT_OFF_SOCKET=1 CUT_OFF_BUS=1\\]")))
      << fileText(log_);
}

TEST_F(BusFrontTest, AnotherUserIsRefusedEvenWhereTheBusAdmitsIt) {
  const std::string target = bus_.dir() + "/planted.plist";
  const std::string path(bus::kObjectPath);
  const std::string interface(bus::kInterface);
  // Methods, properties and introspection alike: the service's own check refuses.
  const std::vector<std::vector<std::string>> calls{
      {"gdbus", "call", "--address", bus_.address(), "--dest", kName, "--object-path", path,
       "--method", interface + ".WriteDictionaryToPlistFile",
       requests::buildPlistWrite("file://" + target, "<plist/>")},
      {"busctl", "--address=" + bus_.address(), "get-property", kName, path, interface,
       "ProtocolName"},
      {"busctl", "--address=" + bus_.address(), "introspect", kName, path},
  };
  for (const auto& call : calls) {
    SCOPED_TRACE(call[0] + " " + call[3]);
    const auto answer = runCommand(asNobody(call));
    EXPECT_NE(answer.exitCode, 0);
    EXPECT_TRUE(answer.err.find("AccessDenied") != std::string::npos ||
                answer.err.find("Access denied") != std::string::npos)
        << answer.err;
  }
  EXPECT_FALSE(std::filesystem::exists(target));
  // Each refusal is logged as a refused socket peer is, with its front.
  const std::string log = fileText(log_);
  const std::regex refused(
      "refused a bus call from uid 65534 \\(pid [0-9]+, :[0-9.]+\\): .*"
      "\\[FRONT=bus PEER_UID=65534 PEER_PID=[0-9]+\\]");
  // (gdbus may make a call of its own before the one it was asked for.)
  EXPECT_GE(
      std::distance(std::sregex_iterator(log.begin(), log.end(), refused), std::sregex_iterator()),
      3)
      << log;
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
  const std::string installed =
      fileText(std::string(PRINTXPC_SOURCE_DIR) + "/packaging/dbus/org.printxpc.Service1.xml");
  const auto live =
      bus_.busctl({"introspect", "--xml-interface", kName, std::string(bus::kObjectPath)});
  ASSERT_EQ(live.exitCode, 0) << live.err;
  EXPECT_EQ(interfaceElement(live.out), interfaceElement(installed));
}

// Another user's process owns the service's name on a bus that lets it: print-xpc-call --bus
// sends it nothing and trusts nothing of it.
TEST(BusClientTrust, ImpostorOwningTheNameIsRefusedBeforeAnyRequest) {
  PRINTXPC_REQUIRE_NETNS();
  PrivateBus bus;
  // The real service makes the most convincing impostor: it would write the file if it got
  // the request.
  const std::string home = bus.dir() + "/impostor";
  ASSERT_TRUE(std::filesystem::create_directory(home));
  ASSERT_EQ(::chown(home.c_str(), kNobody, kNobody), 0);
  ChildProcess impostor(asNobody({serviceBinary(), "--listen", home + "/a.sock"}),
                        {bus.environment()});
  ASSERT_TRUE(bus.waitForOwner(kName, true, 10s));

  const std::string target = bus.dir() + "/settings.plist";
  const auto written = runCommand({callBinary(), "--bus", "write-plist", "file://" + target, "-"},
                                  "<plist/>", {bus.environment()});
  EXPECT_EQ(written.exitCode, 1);
  EXPECT_NE(written.err.find("server-not-trusted"), std::string::npos) << written.err;
  EXPECT_NE(written.err.find("uid " + std::to_string(kNobody)), std::string::npos) << written.err;
  EXPECT_FALSE(std::filesystem::exists(target));
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
    // print-xpc-call starts it just as well, and checks whom it started.
    const auto called =
        runCommand({callBinary(), "--bus", "writable", bus.dir() + "/x"}, "", {bus.environment()});
    EXPECT_EQ(called.out, "TRUE\n") << called.err;
    // One process serves the socket too.
    EXPECT_TRUE(waitForSocket(bus.dir() + "/activated.sock", 10s));
    // Idle, it leaves and gives the name back.
    ASSERT_TRUE(bus.waitForOwner(kName, false, 30s));
  }
}

// ---- The core's limits, over both fronts, in this process.

// Bus calls of this test's own, sent without waiting and counted as their answers come.
class AsyncCalls {
 public:
  explicit AsyncCalls(const std::string& address) {
    EXPECT_GE(bus::connectTo(address, bus_), 0) << "cannot connect to the private bus";
  }
  AsyncCalls(const AsyncCalls&) = delete;
  AsyncCalls& operator=(const AsyncCalls&) = delete;
  ~AsyncCalls() { slots_.clear(); }

  void send(Operation operation, const std::string& request) {
    sd_bus_slot* slot = nullptr;
    const int result = sd_bus_call_method_async(
        bus_.get(), &slot, kName.c_str(), std::string(bus::kObjectPath).c_str(),
        std::string(bus::kInterface).c_str(), std::string(bus::methodOf(operation)).c_str(),
        &AsyncCalls::onReply, this, "s", request.c_str());
    EXPECT_GE(result, 0) << bus::errorText(result);
    slots_.emplace_back(slot);
  }
  // Reads what has come, without waiting.
  void pump() {
    while (sd_bus_process(bus_.get(), nullptr) > 0) {
    }
  }
  // The answers so far: replies as their text, errors as their D-Bus name.
  int count(const std::string& answer) const {
    return static_cast<int>(std::count(answers_.begin(), answers_.end(), answer));
  }
  std::size_t answered() const { return answers_.size(); }

 private:
  static int onReply(sd_bus_message* message, void* self, sd_bus_error* /*error*/) {
    auto& calls = *static_cast<AsyncCalls*>(self);
    if (const sd_bus_error* error = sd_bus_message_get_error(message); error != nullptr) {
      calls.answers_.emplace_back(error->name);
      return 0;
    }
    const char* text = nullptr;
    calls.answers_.emplace_back(sd_bus_message_read(message, "s", &text) >= 0 ? text : "?");
    return 0;
  }

  bus::BusPtr bus_;
  std::vector<bus::SlotPtr> slots_;
  std::vector<std::string> answers_;
};

// The core, its socket front and its bus front in this process, on the test's private bus.
class InProcessService {
 public:
  InProcessService(const PrivateBus& bus, CoreSettings settings)
      : socketPath_(bus.dir() + "/in-process.sock"),
        core_(std::make_unique<ServiceCore>(std::move(settings))) {
    auto listening = listenAt(socketPath_);
    EXPECT_TRUE(listening) << listening.error().message;
    ConnectionSettings connection;
    connection.protocolName = protocolName(*findBuild("a"));
    auto socket = SocketFront::start(*core_, std::move(listening->socket), listening->file,
                                     std::move(connection));
    EXPECT_TRUE(socket) << socket.error().message;
    socket_ = std::move(*socket);
    BusFrontSettings front;
    front.busName = kName;
    front.protocolName = protocolName(*findBuild("a"));
    front.version = "test";
    front.models = &models_;
    front.address = bus.address();
    auto started = BusFront::start(*core_, std::move(front));
    EXPECT_TRUE(started) << started.error().message;
    bus_ = std::move(*started);
    runner_ = std::async(std::launch::async, [this] { return core_->run(-1); });
  }
  ~InProcessService() {
    core_->requestStop();
    runner_.wait();
    bus_.reset();
    socket_.reset();
  }
  InProcessService(const InProcessService&) = delete;
  InProcessService& operator=(const InProcessService&) = delete;

  ServiceCore& core() { return *core_; }
  BusFront& busFront() { return *bus_; }
  Result<ServiceClient> connect() const {
    return ServiceClient::connect(socketPath_, protocolName(*findBuild("a")));
  }

 private:
  ModelTable models_{std::span<const MyPrinterModel>()};
  std::string socketPath_;
  std::unique_ptr<ServiceCore> core_;
  std::unique_ptr<SocketFront> socket_;
  std::unique_ptr<BusFront> bus_;
  std::future<ServiceCore::Outcome> runner_;
};

// 32 large GETs over the bus to a printer that stays silent take the one byte budget as the
// socket's frames do: those that fit wait, the others are told busy at once, and so is a
// large GET over the socket meanwhile. (The sizes are those of the service scaled down by 16:
// a budget for four requests of 512 KiB beyond the standing buffer.)
TEST(CoreLimits, OneByteBudgetForLargeGetsOverBothFronts) {
  PRINTXPC_REQUIRE_NETNS();
  constexpr std::size_t kCharge = std::size_t{512} * 1024;
  constexpr std::size_t kRequest = kCharge + wire::kStandingBuffer;
  PrivateBus bus;
  const FakeAgent agent = silentAgent();
  CoreSettings settings;
  settings.byteBudget = 4 * kCharge + kCharge / 2;
  InProcessService service(bus, settings);
  ASSERT_TRUE(bus.waitForOwner(kName, true, 10s));
  const std::string cancelFile = bus.dir() + "/large.cancel";
  const std::string request = getOfSize(cancelFile, kRequest);
  ASSERT_EQ(request.size(), kRequest);

  AsyncCalls calls(bus.address());
  for (int i = 0; i < 32; ++i) {
    calls.send(Operation::kPdeSnmpGet, request);
  }
  const std::string busy(bus::kErrorBusy);
  ASSERT_TRUE(waitUntil([&] {
    calls.pump();
    return calls.count(busy) == 28 && agent.requestsSeen() == 4;
  })) << calls.count(busy)
      << " busy, " << agent.requestsSeen() << " GETs at the agent";
  EXPECT_EQ(service.core().bufferedBytes(), 4 * kCharge);
  EXPECT_EQ(service.core().callers(Front::kBus), 4U);
  // The socket's frames draw on the same budget.
  auto client = service.connect();
  ASSERT_TRUE(client) << client.error().message;
  const auto refused = client->call(kGet, request);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, errorCode(TransportError::kBusy)) << refused.error().message;

  std::ofstream(cancelFile, std::ios::app) << '\x01';  // ends the GETs
  ASSERT_TRUE(waitUntil([&] {
    calls.pump();
    return calls.answered() == 32;
  }));
  EXPECT_EQ(calls.count("FALSE:rtn_ExitValue=-1"), 4);
  EXPECT_TRUE(waitUntil([&] { return service.core().bufferedBytes() == 0; }));
}

// One count of callers for both fronts: an open socket connection and a bus call in progress
// each take a place, and beyond the last place either front answers busy. The threads that
// the calls needed end once they are idle.
TEST(CoreLimits, OnePlaceCountForBothFrontsAndIdleThreadsEnd) {
  PRINTXPC_REQUIRE_NETNS();
  PrivateBus bus;
  const FakeAgent agent = silentAgent();
  const CoreSettings settings;  // 128 places
  InProcessService service(bus, settings);
  ASSERT_TRUE(bus.waitForOwner(kName, true, 10s));
  const std::size_t idleThreads = service.busFront().threads();
  auto first = service.connect();
  ASSERT_TRUE(first) << first.error().message;
  ASSERT_TRUE(waitUntil([&] { return service.core().callers(Front::kSocket) == 1; }));

  const std::string cancelFile = bus.dir() + "/places.cancel";
  const std::string request = snmpGetRequest(kAgent, numberedOid(1), cancelFile, 60000, 2, 0);
  // Two connections: the bus daemon lets one wait for at most 128 replies.
  AsyncCalls calls(bus.address());
  AsyncCalls moreCalls(bus.address());
  for (int i = 0; i < 65; ++i) {
    calls.send(Operation::kPdeSnmpGet, request);
    moreCalls.send(Operation::kPdeSnmpGet, request);
  }
  const std::string busy(bus::kErrorBusy);
  const auto answered = [&](const std::string& answer) {
    calls.pump();
    moreCalls.pump();
    return calls.count(answer) + moreCalls.count(answer);
  };
  ASSERT_TRUE(waitUntil([&] { return answered(busy) == 3 && agent.requestsSeen() == 127; }))
      << answered(busy) << " busy, " << agent.requestsSeen() << " GETs at the agent";
  EXPECT_EQ(service.core().callers(), 128U);
  const auto refused = service.connect();
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, errorCode(TransportError::kBusy)) << refused.error().message;
  EXPECT_GT(service.busFront().threads(), 127U);  // each waiting call holds one

  std::ofstream(cancelFile, std::ios::app) << '\x01';  // ends the GETs
  ASSERT_TRUE(waitUntil([&] { return answered("FALSE:rtn_ExitValue=-1") == 127; }));
  EXPECT_TRUE(waitUntil([&] { return service.busFront().threads() <= idleThreads; }))
      << service.busFront().threads() << " bus threads, " << idleThreads << " when idle";
}

}  // namespace
}  // namespace printxpc::test_support
