#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "probes/icmp_echo.h"
#include "probes_netns.h"
#include "shared/wait.h"
#include "support/test_support.h"

namespace printxpc {
namespace {

using namespace std::chrono_literals;
using test_support::CapturedVethPair;
using test_support::kLongerThanTheGuardMs;
using test_support::PingGroupRange;
using test_support::returnsBeforeTheGuard;
using test_support::timed;
using test_support::VethPair;

constexpr std::uint8_t kIcmp = 1;

// A probe that gets no answer waits no less than its timeout.
void expectLastsTheTimeout(std::chrono::milliseconds elapsed, std::chrono::milliseconds timeout) {
  EXPECT_GE(elapsed, timeout);
}

TEST(IcmpEcho, LoopbackAnswers) {
  PRINTXPC_REQUIRE_NETNS();
  EXPECT_TRUE(sendEchoAndRecvReply("127.0.0.1", 1000));
  EXPECT_TRUE(sendEchoAndRecvReply("127.1", 1000));
  EXPECT_TRUE(sendEchoAndRecvReply("127.0.0.2", 1000));
}

TEST(IcmpEcho, ConcurrentProbesEachGetTheirAnswer) {
  PRINTXPC_REQUIRE_NETNS();
  std::vector<char> answers(4, 0);
  std::vector<std::thread> probes;
  probes.reserve(answers.size());
  for (auto& answer : answers) {
    probes.emplace_back(
        [&answer] { answer = sendEchoAndRecvReply("127.0.0.1", 1000) ? char{1} : char{0}; });
  }
  for (auto& probe : probes) probe.join();
  for (char answer : answers) EXPECT_TRUE(answer);
}

// Coarse: each probe well under the time a wait would take.
TEST(IcmpEcho, ZeroOrNegativeTimeoutDoesNotBlockTiming) {
  PRINTXPC_REQUIRE_NETNS();
  for (std::int64_t timeout : {0, -1, -100000}) {
    EXPECT_LT(timed([&] { sendEchoAndRecvReply("127.0.0.1", timeout); }), 200ms) << timeout;
  }
}

TEST(IcmpEcho, MissingAddressAnswersAtOnce) {
  PRINTXPC_REQUIRE_NETNS();
  bool answer = true;
  EXPECT_TRUE(returnsBeforeTheGuard(
      [&] { answer = sendEchoAndRecvReply(std::nullopt, kLongerThanTheGuardMs); }));
  EXPECT_FALSE(answer);
  answer = true;
  EXPECT_TRUE(
      returnsBeforeTheGuard([&] { answer = sendEchoAndRecvReply("", kLongerThanTheGuardMs); }));
  EXPECT_FALSE(answer);
}

TEST(IcmpEcho, UnconvertibleAddressSendsNothing) {
  PRINTXPC_REQUIRE_NETNS();
  // A route for 255.255.255.255, where such a probe used to go; every interface watched.
  CapturedVethPair veth(nullptr);
  ASSERT_TRUE(veth.ok());

  for (const char* address :
       {"printer.local", "192.168.1.300", "1.2.3.4.5", "null", "255.255.255.255", "4294967295"}) {
    bool answer = true;
    EXPECT_TRUE(returnsBeforeTheGuard([&] {
      answer = sendEchoAndRecvReply(address, kLongerThanTheGuardMs);
    })) << address;
    EXPECT_FALSE(answer) << address;
  }
  EXPECT_TRUE(veth.capture.collect(kIcmp, 300ms).empty());

  // The capture does see a probe that is sent.
  sendEchoAndRecvReply(VethPair::kSilentAddress, 0);
  EXPECT_FALSE(veth.capture.collect(kIcmp, 300ms).empty());
}

// Coarse: no less than the timeout, and not much more.
TEST(IcmpEcho, SilentAddressAnswersFalseAfterTheTimeoutTiming) {
  PRINTXPC_REQUIRE_NETNS();
  CapturedVethPair veth;
  ASSERT_TRUE(veth.ok());

  bool answer = true;
  const auto took = timed([&] { answer = sendEchoAndRecvReply(VethPair::kSilentAddress, 300); });
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 1300ms);
  EXPECT_FALSE(answer);

  // One 28-byte echo request went out: type 8, code 0, twenty zero data bytes.
  const auto packets = veth.capture.collect(kIcmp, 300ms);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets.front().destination(), VethPair::kSilentAddress);
  const auto icmp = packets.front().payload();
  ASSERT_EQ(icmp.size(), 28u);
  EXPECT_EQ(icmp[0], 8);
  EXPECT_EQ(icmp[1], 0);
  EXPECT_EQ(std::vector<std::uint8_t>(icmp.begin() + 8, icmp.end()),
            std::vector<std::uint8_t>(20, 0));
}

TEST(IcmpEcho, RefusedSocketSleepsTheTimeout) {
  PRINTXPC_REQUIRE_NETNS();
  PingGroupRange nobody("1 0");
  ASSERT_TRUE(nobody.ok());

  bool answer = true;
  expectLastsTheTimeout(timed([&] { answer = sendEchoAndRecvReply("127.0.0.1", 300); }), 300ms);
  EXPECT_FALSE(answer);
  // A negative timeout is no wait, not a huge one.
  EXPECT_TRUE(returnsBeforeTheGuard([] { sendEchoAndRecvReply("127.0.0.1", -5); }));
}

TEST(IcmpEcho, RefusedSendSleepsTheTimeout) {
  PRINTXPC_REQUIRE_NETNS();
  // No route leads to this address in the namespace: the send is refused.
  bool answer = true;
  expectLastsTheTimeout(timed([&] { answer = sendEchoAndRecvReply("10.20.30.40", 300); }), 300ms);
  EXPECT_FALSE(answer);
}

}  // namespace
}  // namespace printxpc
