// Faults the service must survive: clients that die or leave, a full connection table, an
// SNMP agent that goes away, the service itself killed, file systems that are full or
// read-only, and requests of every malformed shape. After each the service answers the
// next client normally and holds no more descriptors or threads than when idle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "protocol/markers.h"
#include "protocol/requests.h"
#include "protocol/wire.h"
#include "shared/wait.h"
#include "support/process.h"
#include "support/service_fixture.h"
#include "support/snmp_peers.h"
#include "support/socket_activator.h"
#include "support/test_support.h"

namespace printxpc::test_support {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kAgent[] = "127.0.0.2";
// The agent never answers this sub-identifier, so a GET for it waits its whole timeout.
constexpr std::uint32_t kSilent = 999;
constexpr std::size_t kMiB = std::size_t{1024} * 1024;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string getRequest(const std::string& oid, const std::string& cancelFile,
                       std::int32_t timeoutMs,
                       std::optional<std::int32_t> cancelFlag = std::nullopt) {
  return snmpGetRequest(kAgent, oid, cancelFile, timeoutMs, 2, cancelFlag);
}

// A connection that has not sent a single byte, or only what the test writes to it.
UniqueFd rawConnection(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    fd.reset();
  }
  return fd;
}

// A reply that does not come within the time is a hang: the call then fails.
void limitWait(const ServiceClient& client, std::chrono::seconds limit) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(limit.count());
  ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof(value));
}

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PRINTXPC_REQUIRE_NETNS();
    agent_ = std::make_unique<FakeAgent>(kAgent, [](const SnmpRequest& request) {
      if (oidSubIdentifiers(request.oidContent).back() == kSilent) {
        return std::vector<Reply>{};
      }
      return FakeAgent::numberedAnswers()(request);
    });
    ASSERT_TRUE(agent_->listening());
    // Idle: the cancel watcher's thread started by one GET, whose connection is gone (the
    // service has closed its end, and the connection's thread has ended before that).
    ASSERT_EQ(service_.call(kGet, getRequest(numberedOid(1), cancelFile(), 1000, 0)),
              "TRUE:uResult.integer=1");
    ASSERT_TRUE(waitUntil([&] { return connectionsAt(service_.socketPath()) == 0; }))
        << connectionsAt(service_.socketPath()) << " connections still open";
    idle_ = resourceUse(service_.pid());
  }

  std::string cancelFile() const { return service_.dir() + "/get-cancel"; }

  // The next client is served as if nothing had happened, and nothing was leaked.
  void expectServesNormallyAndIdles(std::uint32_t n) {
    EXPECT_EQ(service_.call(kGet, getRequest(numberedOid(n), cancelFile(), 1000)),
              "TRUE:uResult.integer=" + std::to_string(n));
    EXPECT_EQ(service_.call(kWritable, service_.dir() + "/probe"), "TRUE");
    const ResourceUse now = settleTo(service_.pid(), idle_, kFailureGuard);
    EXPECT_EQ(now, idle_) << describe(now) << ", idle " << describe(idle_);
    EXPECT_TRUE(service_.process().running());
  }

  RunningService service_;
  std::unique_ptr<FakeAgent> agent_;
  ResourceUse idle_;
};

TEST_F(FaultsTest, ClientKilledDuringAGetWait) {
  const int seen = agent_->requestsSeen();
  ChildProcess client({binaryPath("tools/print-xpc-call"), "--socket", service_.socketPath(),
                       "snmp-get", kAgent, numberedOid(kSilent), "--type", "2", "--timeout", "1500",
                       "--cancel-file", service_.dir() + "/killed-cancel"});
  ASSERT_TRUE(waitUntil([&] { return agent_->requestsSeen() > seen; }))
      << "the GET never reached the agent";
  client.signal(SIGKILL);
  EXPECT_EQ(client.wait(kFailureGuard), 128 + SIGKILL);
  // Served while the orphaned GET still waits (its connection thread is still there), and
  // idle once its wait is over.
  EXPECT_EQ(service_.call(kWritable, service_.dir() + "/other"), "TRUE");
  EXPECT_GT(threadCount(service_.pid()), idle_.threads) << "the GET ended before the call";
  expectServesNormallyAndIdles(2);
}

TEST_F(FaultsTest, ThousandConnectionsDroppedWithoutARequest) {
  // In waves below the connection cap: nothing sent, a handshake only, half a frame header.
  constexpr int kWaves = 10;
  constexpr int kPerWave = 100;
  int dropped = 0;
  for (int wave = 0; wave < kWaves; ++wave) {
    SCOPED_TRACE("wave " + std::to_string(wave));
    // Left over from the previous wave, they would count against the cap.
    EXPECT_EQ(settleTo(service_.pid(), idle_, kFailureGuard), idle_);
    std::vector<UniqueFd> silent;
    std::vector<ServiceClient> greeted;
    for (int i = 0; i < kPerWave; ++i) {
      switch (i % 3) {
        case 0:
          silent.push_back(rawConnection(service_.socketPath()));
          EXPECT_TRUE(silent.back().valid());
          break;
        case 1:
          greeted.push_back(service_.connect());
          break;
        default: {
          silent.push_back(rawConnection(service_.socketPath()));
          const char partial[] = {static_cast<char>(wire::FrameKind::kRequest), 0};
          EXPECT_EQ(::send(silent.back().get(), partial, sizeof(partial), MSG_NOSIGNAL), 2);
        }
      }
      ++dropped;
    }
  }  // each wave is dropped at once when its scope ends
  EXPECT_EQ(dropped, 1000);
  expectServesNormallyAndIdles(3);
}

TEST_F(FaultsTest, ConnectionCapReachedAndFreed) {
  constexpr std::size_t kCap = 128;
  std::vector<ServiceClient> clients;
  for (std::size_t i = 0; i < kCap; ++i) {
    clients.push_back(service_.connect());
  }
  EXPECT_EQ(resourceUse(service_.pid()).threads, idle_.threads + static_cast<int>(kCap));
  EXPECT_EQ(connectionsAt(service_.socketPath()), static_cast<int>(kCap));
  // Each client beyond the cap learns why, however early the service hangs up on it.
  for (int attempt = 0; attempt < 50; ++attempt) {
    const auto refused =
        ServiceClient::connect(service_.socketPath(), protocolName(*findBuild("a")));
    ASSERT_FALSE(refused);
    const auto& failure = refused.error();
    EXPECT_EQ(failure.code, static_cast<std::uint16_t>(wire::TransportError::kBusy))
        << failure.message;
  }
  // Every admitted connection is still served while the cap holds.
  EXPECT_EQ(RunningService::replyOf(clients.front().call(kWritable, service_.dir() + "/x")),
            "TRUE");
  EXPECT_EQ(RunningService::replyOf(
                clients.back().call(kGet, getRequest(numberedOid(4), cancelFile(), 1000))),
            "TRUE:uResult.integer=4");
  // One slot freed: one more client is admitted (once the service has seen the first leave).
  clients.pop_back();
  ResourceUse oneFree = idle_;
  oneFree.descriptors += static_cast<int>(kCap) - 1;
  oneFree.threads += static_cast<int>(kCap) - 1;
  EXPECT_EQ(settleTo(service_.pid(), oneFree, kFailureGuard), oneFree);
  EXPECT_EQ(service_.call(kWritable, service_.dir() + "/y"), "TRUE");
  clients.clear();
  expectServesNormallyAndIdles(5);
}

TEST_F(FaultsTest, SnmpdStoppedAndStartedAgainDuringARun) {
  if (!snmpdAvailable()) {
    GTEST_SKIP() << "snmpd is not installed (scripts/deps installs it)";
  }
  constexpr std::int32_t kTimeoutMs = 300;
  constexpr auto kWaitAtLeast = std::chrono::milliseconds(kTimeoutMs);
  const std::string contact = "TRUE:uResult.string=faults@example.com";
  const std::string noExchange = "FALSE:rtn_ExitValue=-9780";
  Snmpd snmpd("127.0.0.1", "faults test agent", "faults@example.com");
  ASSERT_TRUE(snmpd.ready());
  const std::string get =
      snmpGetRequest("127.0.0.1", "1.3.6.1.2.1.1.4.0", cancelFile(), kTimeoutMs, 4);

  struct Answer {
    std::string reply;
    Clock::duration took;
  };
  std::atomic<bool> done{false};
  std::atomic<int> successes{0};
  std::atomic<int> timeouts{0};
  auto run = std::async(std::launch::async, [&] {
    std::vector<Answer> answers;
    auto client = service_.connect();
    while (!done) {
      const auto begin = Clock::now();
      answers.push_back({RunningService::replyOf(client.call(kGet, get)), Clock::now() - begin});
      ++(answers.back().reply == contact ? successes : timeouts);
    }
    return answers;
  });
  // No ASSERT while the run goes on: it must be told to end.
  EXPECT_TRUE(waitUntil([&] { return successes > 0; })) << "the run was never answered";
  snmpd.stop();
  EXPECT_TRUE(waitUntil([&] { return timeouts > 0; })) << "the run never timed out";
  const auto begin = Clock::now();
  EXPECT_EQ(service_.call(kGet, get), noExchange);
  EXPECT_GE(Clock::now() - begin, kWaitAtLeast);
  EXPECT_TRUE(snmpd.start());
  EXPECT_EQ(service_.call(kGet, get), contact);
  const int successesBefore = successes;
  EXPECT_TRUE(waitUntil([&] { return successes > successesBefore; })) << "never answered again";
  done = true;
  const auto answers = run.get();

  // The run saw answers, then timeouts, then answers again; nothing else.
  std::string phases;
  for (const auto& answer : answers) {
    const bool answered = answer.reply == contact;
    EXPECT_TRUE(answered || answer.reply == noExchange) << answer.reply;
    if (!answered) {
      EXPECT_GE(answer.took, kWaitAtLeast);
    }
    const char phase = answered ? 'S' : 'T';
    if (phases.empty() || phases.back() != phase) {
      phases += phase;
    }
  }
  EXPECT_EQ(phases, "STS");
  expectServesNormallyAndIdles(6);
}

TEST(FaultsActivation, ServiceKilledUnderSocketActivationIsStartedAfresh) {
  PRINTXPC_REQUIRE_NETNS();
  char pattern[] = "/tmp/printxpc-kill-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string socket = dir + "/service.sock";
  const std::string protocol = protocolName(*findBuild("a"));
  const std::vector<std::string> service{binaryPath("src/service/print-xpc-service-a")};
  FakeAgent agent(kAgent, [](const SnmpRequest&) { return std::vector<Reply>{}; });
  {
    SocketActivator activator(socket);
    auto connectAndProbe = [&] {
      auto client = ServiceClient::connect(socket, protocol);
      EXPECT_TRUE(client);
      auto reply = RunningService::replyOf(client->call(kWritable, dir + "/x"));
      return std::make_pair(std::move(client).value(), reply);
    };
    auto [waiting, first] = activator.serveWhile(service, connectAndProbe);
    EXPECT_EQ(first, "TRUE");
    // A GET waits on the silent agent when the service is killed: its client learns at once.
    auto pending = std::async(std::launch::async, [&waiting = waiting, &dir] {
      return RunningService::replyOf(
          waiting.call(kGet, getRequest(numberedOid(kSilent), dir + "/cancel", 5000)));
    });
    ASSERT_TRUE(waitUntil([&] { return agent.requestsSeen() > 0; }));
    ASSERT_EQ(agent.requestsSeen(), 1);
    activator.service().signal(SIGKILL);
    EXPECT_EQ(activator.service().wait(kFailureGuard), 128 + SIGKILL);
    // Ready with a transport error, not with the GET's own answer after its 5 s.
    ASSERT_EQ(pending.wait_for(kFailureGuard), std::future_status::ready);
    const std::string lost = "transport error " + std::to_string(errorCode(ClientError::kIo)) + ":";
    EXPECT_EQ(pending.get().rfind(lost, 0), 0U);

    auto [fresh, second] = activator.serveWhile(service, connectAndProbe);
    EXPECT_EQ(second, "TRUE");
    EXPECT_EQ(activator.starts(), 2);
  }
  std::filesystem::remove_all(dir);
}

// The service runs in a mount namespace of its own with two small file systems: "full",
// filled up after settings.plist was written, and "ro", remounted read-only.
class FileSystemFaultsTest : public ::testing::Test {
 protected:
  static std::vector<std::string> inMountNamespace(const std::string& dir,
                                                   std::vector<std::string> service) {
    std::filesystem::create_directory(dir + "/full");
    std::filesystem::create_directory(dir + "/ro");
    const std::string script =
        "set -e; mount -t tmpfs -o size=64k tmpfs \"$1/full\";"
        " mount -t tmpfs -o size=64k tmpfs \"$1/ro\";"
        " printf %s OLD > \"$1/full/settings.plist\"; printf %s KEEP > \"$1/ro/settings.plist\";"
        " mount -o remount,ro \"$1/ro\";"
        " dd if=/dev/zero of=\"$1/full/filler\" bs=4096 2>/dev/null || true;"
        " shift; exec \"$@\"";
    std::vector<std::string> argv{"unshare", "-m", "--propagation", "private", "sh", "-c", script,
                                  "sh",      dir};
    argv.insert(argv.end(), service.begin(), service.end());
    return argv;
  }

  void SetUp() override {
    PRINTXPC_REQUIRE_NETNS();  // root, who may make mount namespaces
    service_ = std::make_unique<RunningService>("a", inMountNamespace);
  }

  std::string call(std::string_view selector, const std::string& request) const {
    return service_->call(selector, request);
  }
  std::string path(const std::string& relative) const { return service_->dir() + "/" + relative; }
  std::string url(const std::string& relative) const { return "file://" + path(relative); }
  // The path as the service sees it, from outside its mount namespace.
  std::string seen(const std::string& relative) const {
    return "/proc/" + std::to_string(service_->pid()) + "/root" + path(relative);
  }
  std::vector<std::string> leftovers(const std::string& relative) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(seen(relative))) {
      if (entry.path().filename().string().rfind(".plist-write-", 0) == 0) {
        names.push_back(entry.path().filename());
      }
    }
    return names;
  }

  std::unique_ptr<RunningService> service_;
};

TEST_F(FileSystemFaultsTest, FullFileSystemKeepsThePreviousContent) {
  ASSERT_EQ(readFile(seen("full/settings.plist")), "OLD");
  ASSERT_FALSE(std::filesystem::exists(path("full/settings.plist")));  // not in the test's view
  ASSERT_GT(std::filesystem::file_size(seen("full/filler")), 0U);
  const std::string larger = "<plist>" + std::string(8192, 'x') + "</plist>";
  EXPECT_EQ(call(kPlist, requests::buildPlistWrite(url("full/settings.plist"), larger)), "FALSE");
  EXPECT_EQ(readFile(seen("full/settings.plist")), "OLD");
  EXPECT_EQ(call(kPlist, requests::buildPlistWrite(url("full/new.plist"), "<plist/>")), "FALSE");
  EXPECT_FALSE(std::filesystem::exists(seen("full/new.plist")));
  EXPECT_EQ(leftovers("full"), std::vector<std::string>{});
  // Once there is room again the same write succeeds.
  std::filesystem::remove(seen("full/filler"));
  EXPECT_EQ(call(kPlist, requests::buildPlistWrite(url("full/settings.plist"), larger)), "TRUE");
  EXPECT_EQ(readFile(seen("full/settings.plist")), larger);
  EXPECT_EQ(leftovers("full"), std::vector<std::string>{});
}

TEST_F(FileSystemFaultsTest, ReadOnlyDirectoryRefusesWrites) {
  ASSERT_EQ(readFile(seen("ro/settings.plist")), "KEEP");
  EXPECT_EQ(call(kPlist, requests::buildPlistWrite(url("ro/settings.plist"), "<new/>")), "FALSE");
  EXPECT_EQ(call(kPlist, requests::buildPlistWrite(url("ro/other.plist"), "<new/>")), "FALSE");
  EXPECT_EQ(call(kWritable, path("ro/settings.plist")), "FALSE");
  EXPECT_EQ(call(kWritable, path("ro/absent")), "FALSE");
  EXPECT_EQ(readFile(seen("ro/settings.plist")), "KEEP");
  EXPECT_FALSE(std::filesystem::exists(seen("ro/other.plist")));
  EXPECT_TRUE(service_->process().running());
}

// A request string as its fields and markers, to be taken apart in every way.
class Marked {
 public:
  struct Unit {
    std::string value;
    std::string marker;
  };
  explicit Marked(std::vector<Unit> units, std::string trailing = "")
      : units_(std::move(units)), trailing_(std::move(trailing)) {}

  std::string str() const {
    std::string out;
    for (const auto& unit : units_) {
      out += unit.value + unit.marker;
    }
    return out + trailing_;
  }
  // Every occurrence of the marker taken out; the values stay.
  Marked without(std::string_view marker) const {
    return changed([&](Marked& m) {
      for (auto& unit : m.units_) {
        unit.marker = unit.marker == marker ? "" : unit.marker;
      }
    });
  }
  // The first occurrence written twice in a row.
  Marked doubled(std::string_view marker) const {
    return changed([&](Marked& m) {
      for (auto& unit : m.units_) {
        if (unit.marker == marker) {
          unit.marker += marker;
          return;
        }
      }
    });
  }
  // Once more at the very end.
  Marked repeatedAtEnd(std::string_view marker) const {
    return changed([&](Marked& m) { m.trailing_ += marker; });
  }
  // Field i and its marker change places with field i + 1 and its marker.
  Marked swapped(std::size_t i) const {
    return changed([&](Marked& m) { std::swap(m.units_[i], m.units_[i + 1]); });
  }
  Marked withValue(std::size_t i, std::string value) const {
    return changed([&](Marked& m) { m.units_[i].value = std::move(value); });
  }
  Marked withTrailing(std::string trailing) const {
    return changed([&](Marked& m) { m.trailing_ = std::move(trailing); });
  }
  // Every marker taken out.
  std::string bare() const {
    std::string out;
    for (const auto& unit : units_) {
      out += unit.value;
    }
    return out + trailing_;
  }

 private:
  template <typename Change>
  Marked changed(Change change) const {
    Marked copy = *this;
    change(copy);
    return copy;
  }

  std::vector<Unit> units_;
  std::string trailing_;
};

// The start of the answer to a request string that is not valid UTF-8: a transport error,
// never a reply, and the connection stays usable.
constexpr char kInvalidUtf8[] = "transport error 6:";

struct BadInput {
  std::string name;
  std::string_view selector;
  std::string request;
  std::string answer;  // the reply, or the start of the transport error
  std::function<void()> check = {};
};

using namespace std::string_literals;

class BadInputTest : public FaultsTest {
 protected:
  std::string path(const std::string& name) const { return service_.dir() + "/" + name; }

  std::vector<BadInput> writabilityCases() const {
    return {
        {"empty", kWritable, "", "FALSE"},
        {"existing file", kWritable, path("existing"), "TRUE"},
        {"1 MiB path", kWritable, path(std::string(kMiB, 'a')), "FALSE"},
        {"embedded NUL", kWritable, path("nul\0x"s), "FALSE",
         [this] { EXPECT_FALSE(std::filesystem::exists(path("nul"))); }},
        {"other operations' markers are only text", kWritable,
         path("a:AddURL:END:CancelFileName::sIpAddr:END"), "TRUE",
         [this] { EXPECT_FALSE(std::filesystem::exists(path("a:AddURL:END"))); }},
        {"invalid UTF-8", kWritable, path("\xFF"), kInvalidUtf8},
        {"truncated UTF-8 sequence", kWritable, path("\xC3"), kInvalidUtf8},
        {"overlong UTF-8 form", kWritable, path("\xC0\xAF"), kInvalidUtf8},
        {"UTF-8 of a surrogate", kWritable, path("\xED\xA0\x80"), kInvalidUtf8},
    };
  }

  std::vector<BadInput> plistCases() const {
    const std::string file = path("bad.plist");
    const Marked base({{"file://" + file, std::string(markers::kAddUrl)}}, "<plist/>");
    const auto holds = [file](const std::string& expected) {
      return [file, expected] { EXPECT_EQ(readFile(file), expected); };
    };
    const std::string big(kMiB, 'p');
    return {
        {"well formed", kPlist, base.str(), "TRUE", holds("<plist/>")},
        {"marker missing", kPlist, base.without(markers::kAddUrl).str(), "FALSE"},
        {"marker doubled", kPlist, base.doubled(markers::kAddUrl).str(), "TRUE",
         holds(":AddURL:END<plist/>")},
        {"marker again at the end", kPlist, base.repeatedAtEnd(markers::kAddUrl).str(), "TRUE",
         holds("<plist/>:AddURL:END")},
        {"marker first: empty URL", kPlist, base.withValue(0, "").str(), "FALSE"},
        {"empty request", kPlist, "", "FALSE"},
        {"empty contents", kPlist, base.withTrailing("").str(), "TRUE", holds("")},
        {"1 MiB contents", kPlist, base.withTrailing(big).str(), "TRUE", holds(big)},
        {"1 MiB URL", kPlist, base.withValue(0, "file://" + path(big)).str(), "FALSE"},
        {"NUL in the contents", kPlist, base.withTrailing("<a>\0</a>"s).str(), "TRUE",
         holds("<a>\0</a>"s)},
        {"NUL in the URL", kPlist, base.withValue(0, "file://" + path("a\0b"s)).str(), "FALSE"},
        {"%00 in the URL", kPlist, base.withValue(0, "file://" + path("a%00b")).str(), "FALSE"},
        {"not a file URL", kPlist, base.withValue(0, "http://localhost/x").str(), "FALSE"},
        {"invalid UTF-8 in the contents", kPlist, base.withTrailing("<a>\xFE</a>").str(),
         kInvalidUtf8},
    };
  }

  std::vector<BadInput> wakeCases() const {
    const std::string ip(markers::kIpAddress);
    const std::string mac(markers::kMacAddress);
    const std::string password(markers::kPassword);
    const Marked base({{"127.0.0.1", ip}, {"00:11:22:33:44:55", mac}, {"NULL", password}});
    // Without an address the packet goes to 255.255.255.255, for which the test's private
    // namespace has no route: nothing is sent, and the reply is -1.
    return {
        {"well formed", kWake, base.str(), "0"},
        {"address marker missing", kWake, base.without(ip).str(), "-1"},
        {"MAC marker missing", kWake, base.without(mac).str(), "-1"},
        {"password marker missing", kWake, base.without(password).str(), "0"},
        {"address marker doubled", kWake, base.doubled(ip).str(), "0"},
        {"MAC marker doubled", kWake, base.doubled(mac).str(), "0"},
        {"password marker doubled", kWake, base.doubled(password).str(), "0"},
        {"address marker again at the end", kWake, base.repeatedAtEnd(ip).str(), "0"},
        {"MAC marker again at the end", kWake, base.repeatedAtEnd(mac).str(), "0"},
        {"password marker again at the end", kWake, base.repeatedAtEnd(password).str(), "0"},
        {"MAC before address", kWake, base.swapped(0).str(), "-1"},
        {"password before MAC", kWake, base.swapped(1).str(), "-1"},
        {"no markers: broadcast", kWake, base.bare(), "-1"},
        {"empty request: broadcast", kWake, "", "-1"},
        {"1 MiB address: broadcast", kWake, base.withValue(0, std::string(kMiB, '1')).str(), "-1"},
        {"1 MiB MAC", kWake, base.withValue(1, std::string(kMiB, 'f')).str(), "0"},
        {"1 MiB password", kWake, base.withValue(2, std::string(kMiB, 'w')).str(), "0"},
        {"NUL ends the address", kWake, base.withValue(0, "127.0.0.1\0junk"s).str(), "0"},
        {"invalid UTF-8 in the password", kWake, base.withValue(2, "pa\xC3ss").str(), kInvalidUtf8},
    };
  }

  std::vector<BadInput> echoCases() const {
    const std::string marker(markers::kEchoAddress);
    const Marked base({{"127.0.0.1", marker}}, "200");
    // (The marker doubled in place would make the timeout 0, whose answer is a race.)
    return {
        {"well formed", kEcho, base.str(), "TRUE"},
        {"marker missing", kEcho, base.without(marker).str(), "FALSE"},
        {"marker again at the end", kEcho, base.repeatedAtEnd(marker).str(), "TRUE"},
        {"marker first: empty address", kEcho, base.withValue(0, "").str(), "FALSE"},
        {"empty request", kEcho, "", "FALSE"},
        {"1 MiB address", kEcho, base.withValue(0, std::string(kMiB, '1')).str(), "FALSE"},
        {"1 MiB timeout text", kEcho, base.withTrailing(std::string(kMiB, ' ') + "200").str(),
         "TRUE"},
        {"NUL ends the address", kEcho, base.withValue(0, "127.0.0.1\0junk"s).str(), "TRUE"},
        {"host name", kEcho, base.withValue(0, "localhost").str(), "FALSE"},
        {"invalid UTF-8 in the timeout", kEcho, base.withTrailing("2\x80").str(), kInvalidUtf8},
    };
  }

  std::vector<BadInput> cancelCases() const {
    const std::string marker(markers::kCancelFileName);
    const std::string target = path("cancel-target");
    const Marked base({{target, marker}});
    return {
        {"well formed", kCancel, base.str(), "TRUE"},
        {"marker missing", kCancel, base.without(marker).str(), "FALSE"},
        {"marker doubled", kCancel, base.doubled(marker).str(), "TRUE"},
        {"marker again at the end", kCancel, base.repeatedAtEnd(marker).str(), "TRUE"},
        {"marker first: empty path", kCancel, base.withValue(0, "").str(), "FALSE"},
        {"empty request", kCancel, "", "FALSE"},
        {"missing file", kCancel, base.withValue(0, path("no-such-cancel")).str(), "FALSE",
         [this] { EXPECT_FALSE(std::filesystem::exists(path("no-such-cancel"))); }},
        {"1 MiB path", kCancel, base.withValue(0, path(std::string(kMiB, 'c'))).str(), "FALSE"},
        {"NUL in the path", kCancel, base.withValue(0, target + "\0x"s).str(), "FALSE"},
        {"invalid UTF-8", kCancel, base.withValue(0, target + "\xF8").str(), kInvalidUtf8,
         // Three cancel writes got through, each one byte.
         [target] { EXPECT_EQ(readFile(target), std::string(3, '\x01')); }},
    };
  }

  std::vector<BadInput> getCases() const {
    const std::vector<std::string> fieldMarkers{
        std::string(markers::kArgCount),    std::string(markers::kIType),
        std::string(markers::kCancelFlag),  std::string(markers::kCancelFileName),
        std::string(markers::kSnmpTimeout), std::string(markers::kSnmpRetries),
        std::string(markers::kRtnCharFlag)};
    const std::vector<std::string> values{"8", "2", "0", cancelFile(), "1000", "1000", "0"};
    std::vector<Marked::Unit> units;
    for (std::size_t i = 0; i < values.size(); ++i) {
      units.push_back({values[i], fieldMarkers[i]});
    }
    constexpr std::size_t kFirstArg = 7;
    for (const auto& arg : requests::snmpGetArgs("public", kAgent, numberedOid(7))) {
      units.push_back({arg, std::string(markers::kArg)});
    }
    const Marked base(units);
    const std::string ok = "TRUE:uResult.integer=7";
    const std::string refused = "FALSE";
    const std::string noExchange = "FALSE:rtn_ExitValue=-9780";
    const std::string arg(markers::kArg);
    std::vector<BadInput> cases{{"well formed", kGet, base.str(), ok}};
    // Without the first four markers nothing is known of the cancel file; without
    // ":rtnCharFlag:" or ":arg:" there is no argument list; the others only keep settings.
    const std::vector<std::string> withoutAnswers{refused, refused, refused,   refused,
                                                  ok,      ok,      noExchange};
    // A doubled marker becomes part of the next field: ":cancelFlag:" so makes the cancel
    // file a relative path in a directory that does not exist; ":arg:" so adds an empty
    // entry, which moves the address out of slot 6.
    const std::vector<std::string> doubledAnswers{ok, ok, refused, ok, ok, ok, ok};
    for (std::size_t i = 0; i < fieldMarkers.size(); ++i) {
      const std::string& marker = fieldMarkers[i];
      cases.push_back({marker + " missing", kGet, base.without(marker).str(), withoutAnswers[i]});
      cases.push_back({marker + " doubled", kGet, base.doubled(marker).str(), doubledAnswers[i]});
      cases.push_back({marker + " again at the end", kGet, base.repeatedAtEnd(marker).str(), ok});
    }
    cases.push_back({arg + " missing", kGet, base.without(arg).str(), noExchange});
    cases.push_back({arg + " doubled", kGet, base.doubled(arg).str(), noExchange});
    cases.push_back({arg + " again at the end", kGet, base.repeatedAtEnd(arg).str(), ok});
    // Swapped with the next field: among the first four markers the later one no longer
    // follows the earlier; ":CancelFileName:" after ":gSnmpTimeout:" leaves a relative cancel
    // path; the later swaps only move numbers between settings (":gSnmpRetries:" before
    // ":gSnmpTimeout:" makes rtnCharFlag 1000, harmless for an INTEGER); ":rtnCharFlag:"
    // after the first entry leaves only seven entries.
    const std::vector<std::string> swappedAnswers{refused, refused, refused,   refused,
                                                  ok,      ok,      noExchange};
    for (std::size_t i = 0; i < swappedAnswers.size(); ++i) {
      const std::string next = i + 1 < fieldMarkers.size() ? fieldMarkers[i + 1] : arg;
      cases.push_back(
          {fieldMarkers[i] + " after " + next, kGet, base.swapped(i).str(), swappedAnswers[i]});
    }
    cases.insert(
        cases.end(),
        {
            {"no markers", kGet, base.bare(), refused},
            {"empty request", kGet, "", refused},
            {"empty cancel file name", kGet, base.withValue(3, "").str(), refused},
            {"cancel flag NULL", kGet, base.withValue(2, "NULL").str(), ok},
            {"1 MiB in an unread entry", kGet,
             base.withValue(kFirstArg, std::string(kMiB, 'u')).str(), ok},
            // A community goes out whole, and 1 MiB fits no datagram.
            {"1 MiB community", kGet, base.withValue(kFirstArg + 3, std::string(kMiB, 'c')).str(),
             noExchange},
            {"1 MiB OID", kGet, base.withValue(kFirstArg + 7, "1.3" + std::string(kMiB, '1')).str(),
             noExchange},
            {"1 MiB cancel file name", kGet, base.withValue(3, path(std::string(kMiB, 'f'))).str(),
             refused},
            {"NUL in the cancel file name", kGet, base.withValue(3, cancelFile() + "\0x"s).str(),
             refused},
            {"NUL in the OID", kGet, base.withValue(kFirstArg + 7, numberedOid(7) + "\0.5"s).str(),
             noExchange},
            // As in the probes, a NUL ends the address text.
            {"NUL ends the address", kGet, base.withValue(kFirstArg + 6, "127.0.0.2\0junk"s).str(),
             ok},
            {"invalid UTF-8 in the community", kGet,
             base.withValue(kFirstArg + 3, "pub\xC0lic").str(), kInvalidUtf8},
        });
    return cases;
  }
};

TEST_F(BadInputTest, EveryShapeOfBadRequestGetsItsOneAnswer) {
  std::ofstream(path("existing")) << "keep";
  std::ofstream(path("cancel-target")).close();
  std::vector<BadInput> cases;
  for (auto group :
       {writabilityCases(), plistCases(), wakeCases(), echoCases(), cancelCases(), getCases()}) {
    cases.insert(cases.end(), group.begin(), group.end());
  }
  {
    auto client = service_.connect();
    limitWait(client, 10s);
    std::uint32_t sentinel = 1000;
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.selector) + " " + c.name);
      const std::string answer = RunningService::replyOf(client.call(c.selector, c.request));
      if (c.answer == kInvalidUtf8) {
        EXPECT_EQ(answer.rfind(c.answer, 0), 0U) << answer;
      } else {
        EXPECT_EQ(answer, c.answer);
      }
      if (c.check) {
        c.check();
      }
      // The next request on the connection gets its own answer: the case had exactly one.
      ++sentinel;
      ASSERT_EQ(RunningService::replyOf(
                    client.call(kGet, getRequest(numberedOid(sentinel), cancelFile(), 1000))),
                "TRUE:uResult.integer=" + std::to_string(sentinel));
    }
  }
  std::printf("%zu bad requests, each answered once\n", cases.size());
  EXPECT_EQ(readFile(path("existing")), "keep");
  expectServesNormallyAndIdles(8);
}

}  // namespace
}  // namespace printxpc::test_support
