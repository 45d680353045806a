// The GET's wait against a silent peer of the test's own on a loopback address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "shared/wait.h"
#include "snmp/snmp_exchange.h"
#include "snmp/snmp_get.h"

namespace printxpc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A printer that never answers: a UDP socket of the test's own on port 161 of a loopback
// address that no other test uses (each test its own, so that tests may run in parallel).
class SilentPeer {
 public:
  explicit SilentPeer(const char* address)
      : address_(address), socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(kSnmpPort);
    ::inet_pton(AF_INET, address, &bound.sin_addr);
    if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&bound), sizeof(bound)) != 0) {
      socket_.reset();
    }
  }
  bool bound() const { return socket_.valid(); }
  const std::string& address() const { return address_; }
  // The requests that have reached it so far.
  int received() {
    std::uint8_t datagram[2048];
    while (::recv(socket_.get(), datagram, sizeof(datagram), MSG_DONTWAIT) >= 0) {
      ++received_;
    }
    return received_;
  }

 private:
  std::string address_;
  UniqueFd socket_;
  int received_ = 0;
};

// GETs that share the cancel flag and timeout of the fixture, as a service's GETs do.
class SnmpGetWait : public ::testing::Test {
 protected:
  SnmpGetOutcome get(const std::string& host) {
    UResult uResult;
    return PdeSnmpGet(shared_, "public", host, "1.3.6.1.2.1.1.1.0", uResult, 4, 0);
  }
  static double threadCpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    const auto ms = [](const timeval& t) {
      return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
  }

  CancelSignal cancel_;
  SnmpGetShared shared_{cancel_};
};

#define PRINTXPC_REQUIRE_BOUND(peer)                                                   \
  if (!(peer).bound()) {                                                               \
    GTEST_SKIP() << "cannot bind " << (peer).address() << ":161 (needs root, and the " \
                 << "port free)";                                                      \
  }

TEST_F(SnmpGetWait, CancelFromAnotherThreadEndsTheWaitAtOnce) {
  SilentPeer peer("127.0.0.77");
  PRINTXPC_REQUIRE_BOUND(peer);
  shared_.timeoutMs = 60000;  // ended by its timeout, the GET would answer "no exchange"
  auto pending = std::async(std::launch::async, [&] { return get(peer.address()); });
  ASSERT_TRUE(test_support::waitUntil([&] { return peer.received() > 0; }));
  cancel_.raise();
  ASSERT_EQ(pending.wait_for(test_support::kFailureGuard), std::future_status::ready);
  EXPECT_EQ(pending.get().status, kSnmpCancelled);
}

// A cancel that came while this thread had no GET waiting, and that a later GET's own flag
// value cleared, neither ends the next wait of this thread nor makes it spin; a cancel
// during that wait still ends it.
TEST_F(SnmpGetWait, EarlierCancelLeavesTheNextWaitAlone) {
  SilentPeer peer("127.0.0.78");
  PRINTXPC_REQUIRE_BOUND(peer);
  shared_.timeoutMs = 1;
  EXPECT_EQ(get(peer.address()).status, kSnmpNoExchange);  // this thread has waited once
  cancel_.raise();
  cancel_.raise();
  cancel_.store(0);

  shared_.timeoutMs = 300;
  const double cpuBefore = threadCpuMs();
  const auto begin = Clock::now();
  EXPECT_EQ(get(peer.address()).status, kSnmpNoExchange);
  EXPECT_GE(Clock::now() - begin, 290ms);
  EXPECT_LT(threadCpuMs() - cpuBefore, 50.0);

  shared_.timeoutMs = 60000;  // ended by its timeout, the GET would answer "no exchange"
  const int sent = peer.received();
  std::thread canceller([&] {
    test_support::waitUntil([&] { return peer.received() > sent; });
    cancel_.raise();
  });
  EXPECT_EQ(get(peer.address()).status, kSnmpCancelled);
  canceller.join();
}

// The host conversion of one GET is not carried over to a GET to another host text.
TEST_F(SnmpGetWait, EachHostTextIsConvertedForItself) {
  SilentPeer peer("127.0.0.79");
  PRINTXPC_REQUIRE_BOUND(peer);
  shared_.timeoutMs = 100;
  for (int round = 0; round < 2; ++round) {
    for (const std::string host :
         {"127.0.0.79", " 127.0.0.79\r\n", "127.0.0.79x", "printer", "::1", "", "127.0.0.79"}) {
      const bool numeric = host == "127.0.0.79" || host == " 127.0.0.79\r\n";
      const int before = peer.received();
      EXPECT_EQ(get(host).status, kSnmpNoExchange) << host;
      // A GET has sent its request before it answers.
      EXPECT_EQ(peer.received() - before, numeric ? 1 : 0) << host;
    }
  }
}

}  // namespace
}  // namespace printxpc
