// The service under load: 64 connections at once, each sending 2,000 mixed requests of
// every operation, every answer checked against the one its request must get. Afterwards
// the service is back to its idle descriptors and threads, and its memory stayed bounded.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/requests.h"
#include "shared/wait.h"
#include "support/process.h"
#include "support/service_fixture.h"
#include "support/snmp_peers.h"
#include "support/test_support.h"

namespace printxpc::test_support {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kConnections = 64;
constexpr int kRequestsPerConnection = 2000;
constexpr char kAgent[] = "127.0.0.2";
constexpr char kSnmpd[] = "127.0.0.1";
constexpr char kContact[] = "load@example.com";
// An answer arrives within a millisecond; the timeout only bounds a lost one.
constexpr std::int32_t kGetTimeoutMs = 2000;
constexpr std::int64_t kEchoTimeoutMs = 1000;
// Growth of the service's resident memory over the whole run, warm-up included (thread
// stacks and malloc arenas of 64 connection threads stay mapped), and over the measured
// run after the warm-up, where only a leak could add much.
[[maybe_unused]] constexpr long kRssGrowthFromIdleKiB = 32L * 1024;
[[maybe_unused]] constexpr long kRssGrowthAfterWarmUpKiB = 4L * 1024;

enum class Kind {
  kWritableExisting,
  kWritableMissingDir,
  kWritableAbsent,
  kPlistWrite,
  kCancelMissing,
  kCancelExisting,
  kGetFakeAgent,
  kGetSnmpd,
  kEcho,
  kWakeOnLan,
};
constexpr std::array<const char*, 10> kKindNames{
    "writable existing", "writable missing dir", "writable absent", "plist write",
    "cancel missing",    "cancel existing",      "GET fake agent",  "GET snmpd",
    "echo 127.0.0.1",    "Wake-on-LAN"};
constexpr std::size_t kKinds = kKindNames.size();

// AddressSanitizer keeps freed memory in quarantine, so resident memory says nothing about
// leaks there (its leak checker does).
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PRINTXPC_RSS_UNBOUNDED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define PRINTXPC_RSS_UNBOUNDED 1
#endif

// The files of one connection, all in the service's directory.
struct ConnectionFiles {
  ConnectionFiles(const std::string& dir, int c)
      : existing(dir + "/existing-" + std::to_string(c)),
        missingDir(dir + "/missing/" + std::to_string(c)),
        absent(dir + "/absent-" + std::to_string(c)),
        plist(dir + "/settings-" + std::to_string(c) + ".plist"),
        cancelMissing(dir + "/no-cancel-" + std::to_string(c)),
        cancelExisting(dir + "/cancel-target-" + std::to_string(c)),
        getCancel(dir + "/get-cancel-" + std::to_string(c)) {}
  std::string existing;
  std::string missingDir;
  std::string absent;
  std::string plist;
  std::string cancelMissing;   // never exists: cancel writes never create it
  std::string cancelExisting;  // exists, nobody watches it: each cancel write adds a byte
  std::string getCancel;       // the cancel file of this connection's GETs, never written
};

std::string plistContents(int c, int n) {
  return "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>connection</key><integer>" +
         std::to_string(c) + "</integer><key>request</key><integer>" + std::to_string(n) +
         "</integer></dict></plist>\n";
}

struct Call {
  const char* selector;
  std::string request;
  std::string reply;  // the one it must get
};

std::string getRequest(const std::string& host, const std::string& oid,
                       const std::string& cancelFile, std::int32_t iType,
                       std::optional<std::int32_t> cancelFlag = std::nullopt) {
  return snmpGetRequest(host, oid, cancelFile, kGetTimeoutMs, iType, cancelFlag);
}

Call callFor(Kind kind, const ConnectionFiles& files, int c, int n) {
  const std::string url = "file://" + files.plist;
  switch (kind) {
    case Kind::kWritableExisting:
      return {"isFilePathWritable_XPC:reply:", files.existing, "TRUE"};
    case Kind::kWritableMissingDir:
      return {"isFilePathWritable_XPC:reply:", files.missingDir, "FALSE"};
    case Kind::kWritableAbsent:
      return {"isFilePathWritable_XPC:reply:", files.absent, "TRUE"};
    case Kind::kPlistWrite:
      return {"writeDictionaryToPlistFile_XPC:reply:",
              requests::buildPlistWrite(url, plistContents(c, n)), "TRUE"};
    case Kind::kCancelMissing:
      return {"cancelFileWrite_XPC:reply:", requests::buildCancelWrite(files.cancelMissing),
              "FALSE"};
    case Kind::kCancelExisting:
      return {"cancelFileWrite_XPC:reply:", requests::buildCancelWrite(files.cancelExisting),
              "TRUE"};
    case Kind::kGetFakeAgent: {
      const auto connection = static_cast<std::uint32_t>(c);
      const auto request = static_cast<std::uint32_t>(n);
      return {"pdeSnmpGet_XPC:reply:",
              getRequest(kAgent, numberedOid(connection, request), files.getCancel, 2),
              "TRUE:uResult.integer=" + std::to_string(numberedValue(connection, request))};
    }
    case Kind::kGetSnmpd:
      return {"pdeSnmpGet_XPC:reply:", getRequest(kSnmpd, "1.3.6.1.2.1.1.4.0", files.getCancel, 4),
              std::string("TRUE:uResult.string=") + kContact};
    case Kind::kEcho:
      return {"sendEchoAndRecvReply_XPC:reply:", requests::buildEcho("127.0.0.1", kEchoTimeoutMs),
              "TRUE"};
    case Kind::kWakeOnLan:
      return {"sendMagicPacket_XPC:reply:",
              requests::buildMagicPacket("127.0.0.1", "00:11:22:33:44:55", std::nullopt), "0"};
  }
  return {};
}

struct Mismatch {
  int connection;
  int request;
  Kind kind;
  std::string expected;
  std::string got;
};

// What the connections of one run saw, merged.
class Tally {
 public:
  void add(int c, int n, Kind kind, const std::string& expected, const std::string& got,
           Clock::duration took) {
    const std::lock_guard lock(mutex_);
    latencies_[static_cast<std::size_t>(kind)].push_back(took);
    ++answered_;
    if (got != expected) {
      ++mismatches_;
      if (examples_.size() < 10) {
        examples_.push_back({c, n, kind, expected, got});
      }
    }
  }
  void addTrailingBytes() {
    const std::lock_guard lock(mutex_);
    ++trailing_;
  }
  int answered() const { return answered_; }
  int mismatches() const { return mismatches_; }
  int trailing() const { return trailing_; }
  const std::vector<Mismatch>& examples() const { return examples_; }
  int count(Kind kind) const {
    return static_cast<int>(latencies_[static_cast<std::size_t>(kind)].size());
  }

  void printLatencies(Clock::duration wall) {
    std::printf("%-22s %8s %10s %10s\n", "operation", "requests", "p50 (us)", "p99 (us)");
    for (std::size_t k = 0; k < kKinds; ++k) {
      auto& samples = latencies_[k];
      std::sort(samples.begin(), samples.end());
      std::printf("%-22s %8zu %10.0f %10.0f\n", kKindNames[k], samples.size(),
                  micros(percentile(samples, 0.50)), micros(percentile(samples, 0.99)));
    }
    const double seconds = std::chrono::duration<double>(wall).count();
    std::printf("%d requests on %d connections in %.1f s (%.0f requests/s)\n", answered_,
                kConnections, seconds, answered_ / seconds);
  }

 private:
  static Clock::duration percentile(const std::vector<Clock::duration>& sorted, double p) {
    if (sorted.empty()) {
      return {};
    }
    const auto at = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1));
    return sorted[at];
  }
  static double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
  }

  std::mutex mutex_;
  std::array<std::vector<Clock::duration>, kKinds> latencies_;
  int answered_ = 0;
  int mismatches_ = 0;
  int trailing_ = 0;
  std::vector<Mismatch> examples_;
};

// True when the service sent anything that no request asked for.
bool bytesWaiting(int fd) {
  pollfd pending{fd, POLLIN, 0};
  return ::poll(&pending, 1, 50) != 0;
}

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PRINTXPC_REQUIRE_NETNS();
    if (!snmpdAvailable()) {
      GTEST_SKIP() << "snmpd is not installed (scripts/deps installs it)";
    }
    snmpd_ = std::make_unique<Snmpd>(kSnmpd, "load test agent", kContact);
    ASSERT_TRUE(snmpd_->ready());
    agent_ = std::make_unique<FakeAgent>(kAgent, FakeAgent::numberedAnswers());
    ASSERT_TRUE(agent_->listening());
    for (int c = 0; c < kConnections; ++c) {
      const ConnectionFiles files(service_.dir(), c);
      std::ofstream(files.existing) << "keep " << c;
      std::ofstream(files.cancelExisting).close();
    }
  }

  // Runs `requests` requests on each of the connections at once; the c-th connection starts
  // its cycle through the kinds at kind c, so every kind runs on some connection at any time.
  void run(int requests, Tally& tally) {
    std::vector<std::thread> threads;
    threads.reserve(kConnections);
    for (int c = 0; c < kConnections; ++c) {
      threads.emplace_back([this, c, requests, &tally] {
        const ConnectionFiles files(service_.dir(), c);
        auto connected = service_.tryConnect();
        auto* client = connected ? &*connected : nullptr;
        for (int n = 0; n < requests; ++n) {
          const auto kind = static_cast<Kind>(static_cast<std::size_t>(n + c) % kKinds);
          const Call call = callFor(kind, files, c, n);
          const auto begin = Clock::now();
          const std::string got =
              client != nullptr ? RunningService::replyOf(client->call(call.selector, call.request))
                                : "no connection";
          tally.add(c, n, kind, call.reply, got, Clock::now() - begin);
        }
        if (client != nullptr && bytesWaiting(client->fd())) {
          tally.addTrailingBytes();
        }
      });
    }
    for (auto& thread : threads) {
      thread.join();
    }
  }

  // Each connection's files hold what the requests of its runs left, and nothing else was
  // left behind.
  void checkFiles(std::initializer_list<int> runs) const {
    int cancelWrites = 0;
    for (int c = 0; c < kConnections; ++c) {
      SCOPED_TRACE("connection " + std::to_string(c));
      const ConnectionFiles files(service_.dir(), c);
      std::ifstream existing(files.existing);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(existing), {}),
                "keep " + std::to_string(c));
      EXPECT_FALSE(std::filesystem::exists(files.absent));
      EXPECT_FALSE(std::filesystem::exists(files.cancelMissing));
      EXPECT_FALSE(std::filesystem::exists(service_.dir() + "/missing"));
      int lastPlist = -1;
      int cancels = 0;
      for (const int requests : runs) {
        for (int n = 0; n < requests; ++n) {
          const auto kind = static_cast<Kind>(static_cast<std::size_t>(n + c) % kKinds);
          lastPlist = kind == Kind::kPlistWrite ? n : lastPlist;
          cancels += kind == Kind::kCancelExisting ? 1 : 0;
        }
      }
      std::ifstream plist(files.plist);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(plist), {}),
                plistContents(c, lastPlist));
      EXPECT_EQ(std::filesystem::file_size(files.cancelExisting),
                static_cast<std::uintmax_t>(cancels));
      cancelWrites += cancels;
    }
    for (const auto& entry : std::filesystem::directory_iterator(service_.dir())) {
      EXPECT_EQ(entry.path().filename().string().rfind(".plist-write-", 0), std::string::npos)
          << "temporary file left: " << entry.path();
    }
    EXPECT_GT(cancelWrites, 0);
  }

  RunningService service_;
  std::unique_ptr<Snmpd> snmpd_;
  std::unique_ptr<FakeAgent> agent_;
};

TEST_F(LoadTest, SixtyFourConnectionsOfMixedRequests) {
  const pid_t pid = service_.pid();
  // The cancel watcher's thread belongs to the idle service once one GET started it.
  const std::string watched = service_.dir() + "/watched-cancel";
  ASSERT_EQ(
      service_.call("pdeSnmpGet_XPC:reply:", getRequest(kAgent, numberedOid(7), watched, 2, 0)),
      "TRUE:uResult.integer=7");
  // Its connection is closed (after its thread ended).
  ASSERT_TRUE(waitUntil([&] { return connectionsAt(service_.socketPath()) == 0; }));
  const ResourceUse idle = resourceUse(pid);
  const long idleRss = residentKiB(pid);

  Tally warmUp;
  run(static_cast<int>(kKinds), warmUp);  // every kind once on every connection
  ASSERT_EQ(warmUp.mismatches(), 0) << warmUp.examples().front().got;
  const ResourceUse afterWarmUp = settleTo(pid, idle, kFailureGuard);
  EXPECT_EQ(afterWarmUp, idle) << describe(afterWarmUp) << " after the warm-up, idle "
                               << describe(idle);
  const long warmRss = residentKiB(pid);

  const int requests = kRequestsPerConnection;
  Tally tally;
  const auto begin = Clock::now();
  run(requests, tally);
  const auto wall = Clock::now() - begin;
  tally.printLatencies(wall);

  EXPECT_EQ(tally.answered(), kConnections * requests);
  EXPECT_EQ(tally.mismatches(), 0);
  for (const auto& m : tally.examples()) {
    ADD_FAILURE() << "connection " << m.connection << " request " << m.request << " ("
                  << kKindNames[static_cast<std::size_t>(m.kind)] << "): expected '" << m.expected
                  << "', got '" << m.got << "'";
  }
  EXPECT_EQ(tally.trailing(), 0) << "connections received bytes that no request asked for";
  // Every GET to the fake agent sent exactly one request datagram.
  const int fakeGets = warmUp.count(Kind::kGetFakeAgent) + tally.count(Kind::kGetFakeAgent) + 1;
  EXPECT_EQ(agent_->requestsSeen(), fakeGets);
  checkFiles({static_cast<int>(kKinds), requests});

  const ResourceUse after = settleTo(pid, idle, kFailureGuard);
  EXPECT_EQ(after, idle) << describe(after) << " after the load, idle " << describe(idle);
  const long rss = residentKiB(pid);
  std::printf("service: idle %s; VmRSS idle %ld KiB, after warm-up %ld KiB, after load %ld KiB\n",
              describe(idle).c_str(), idleRss, warmRss, rss);
#ifndef PRINTXPC_RSS_UNBOUNDED
  EXPECT_LT(rss - idleRss, kRssGrowthFromIdleKiB);
  EXPECT_LT(rss - warmRss, kRssGrowthAfterWarmUpKiB);
#endif
  EXPECT_TRUE(service_.process().running());
}

}  // namespace
}  // namespace printxpc::test_support
