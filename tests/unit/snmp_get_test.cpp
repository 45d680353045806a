// The pure parts of the GET (MAC formatting, host trimming, the result area, the reply
// table) and its wait against a silent peer of the test's own on a loopback address.
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
#include "protocol/requests.h"
#include "shared/wait.h"
#include "snmp/snmp_get.h"
#include "snmp/snmp_message.h"

namespace printxpc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(SnmpGetMacAddress, PicksTwelveBytesByLength) {
  struct Case {
    std::string text;
    std::string mac;
  };
  const Case cases[] = {
      // 17 bytes: the two characters of each of six groups, whatever separates them.
      {"00-1A-2B-3C-4D-5E", "00:1A:2B:3C:4D:5E"},
      {"0123456789ABCDEFG", "01:34:67:9A:CD:FG"},
      // 16 bytes: the last twelve.
      {"    a0b1c2d3e4f5", "a0:b1:c2:d3:e4:f5"},
      {"0123456789abcdef", "45:67:89:ab:cd:ef"},
      {"00:1A:2B:3C:4D:5", "A::2B::3:C::4D::5"},  // whatever the sixteen bytes hold
      // 12 bytes: all of them.
      {"001A2B3C4D5E", "00:1A:2B:3C:4D:5E"},
      // Copied unchanged: no change of case, no check for hex digits.
      {"aBcDeF012345", "aB:cD:eF:01:23:45"},
      {"zz-yy-xx-ww-vv-uu", "zz:yy:xx:ww:vv:uu"},
      // The length counts bytes: six two-byte characters are twelve bytes.
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
       "\xC3\xA9:\xC3\xA9:\xC3\xA9:\xC3\xA9:\xC3\xA9:\xC3\xA9"},
      {std::string("00\0"
                   "1A2B3C4D5",
                   12),
       std::string("00:\0"
                   "1:A2:B3:C4:D5",
                   17)},
      // Any other length: nothing.
      {"", ""},
      {"001A2B3C4D5", ""},
      {"001A2B3C4D5E6", ""},
      {"00-1A-2B-3C-4D-5E-", ""},
      {std::string(255, 'a'), ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatMacAddress(c.text), c.mac) << ::testing::PrintToString(c.text);
  }
}

TEST(SnmpGetHostText, TrimsWhiteSpaceThenLineBreaks) {
  struct Case {
    std::string host;
    std::string trimmed;
  };
  const Case cases[] = {
      {"192.0.2.10", "192.0.2.10"},
      {"", ""},
      {" \t ", ""},
      {"\r\n", ""},
      {" 192.0.2.10\r\n", "192.0.2.10"},
      {"\t192.0.2.10\t", "192.0.2.10"},
      // Each trim is made once, white space first: a blank inside a line break stays.
      {"192.0.2.10 \n", "192.0.2.10 "},
      {"\n 192.0.2.10", " 192.0.2.10"},
      {"\v 192.0.2.10 \f", " 192.0.2.10 "},
      {" \n192.0.2.10\n ", "192.0.2.10"},
      // Unicode space separators.
      {"\xC2\xA0"
       "192.0.2.10"
       "\xC2\xA0",
       "192.0.2.10"},  // U+00A0
      {"\xE3\x80\x80"
       "192.0.2.10"
       "\xE3\x80\x80",
       "192.0.2.10"},  // U+3000
      {"\xE2\x80\x83"
       "192.0.2.10"
       "\xE2\x80\xAF",
       "192.0.2.10"},  // U+2003, U+202F
      {"\xE1\x9A\x80"
       "192.0.2.10"
       "\xE2\x81\x9F",
       "192.0.2.10"},  // U+1680, U+205F
      // Unicode line breaks.
      {"\xE2\x80\xA8"
       "192.0.2.10"
       "\xE2\x80\xA9",
       "192.0.2.10"},  // U+2028, U+2029
      {"\xC2\x85"
       "192.0.2.10"
       "\xC2\x85",
       "192.0.2.10"},  // NEL
      {"\x0B\x0C"
       "192.0.2.10"
       "\x0D\x0A",
       "192.0.2.10"},
      // Neither white space nor a line break: kept.
      {"\xE2\x80\x8B"
       "192.0.2.10",
       "\xE2\x80\x8B"
       "192.0.2.10"},  // zero-width space
      {"\xEF\xBB\xBF"
       "192.0.2.10",
       "\xEF\xBB\xBF"
       "192.0.2.10"},  // byte order mark
      {"192.0.2.10"
       "\x1F",
       "192.0.2.10"
       "\x1F"},
      {std::string("192.0.2.10\0", 11), std::string("192.0.2.10\0", 11)},
      {" 192.0.2.10 x ", "192.0.2.10 x"},
      // Bytes that are no UTF-8 character are kept, even where they look like the
      // Latin-1 or truncated form of a space or line break.
      {"192.0.2.10"
       "\xA0",
       "192.0.2.10"
       "\xA0"},
      {"\x85"
       "192.0.2.10",
       "\x85"
       "192.0.2.10"},
      {"192.0.2.10"
       "\xC2\x80\x80",
       "192.0.2.10"
       "\xC2\x80\x80"},
      {"192.0.2.10"
       "\xE3\x80",
       "192.0.2.10"
       "\xE3\x80"},
      {"\xE3"
       " 192.0.2.10",
       "\xE3"
       " 192.0.2.10"},
      {"\xC0\xA0"
       "192.0.2.10",
       "\xC0\xA0"
       "192.0.2.10"},  // overlong blank
  };
  for (const auto& c : cases) {
    EXPECT_EQ(trimHostText(c.host), c.trimmed) << ::testing::PrintToString(c.host);
  }
}

TEST(SnmpGetUResult, HoldsAnIntegerOrATerminatedText) {
  UResult uResult;
  EXPECT_EQ(uResult.integer(), 0);
  EXPECT_EQ(uResult.string(), "");
  for (const std::int32_t value : {0, 1, -3, 65536, std::numeric_limits<std::int32_t>::min(),
                                   std::numeric_limits<std::int32_t>::max()}) {
    uResult.setInteger(value);
    EXPECT_EQ(uResult.integer(), value);
  }

  struct Case {
    std::string text;
    std::string kept;
  };
  const Case cases[] = {
      {"", ""},
      {"Office Printer 7", "Office Printer 7"},
      {std::string(254, 'x'), std::string(254, 'x')},
      {std::string(255, 'x'), std::string(255, 'x')},
      {std::string(256, 'x'), std::string(255, 'x')},
      {std::string(1000, 'x'), std::string(255, 'x')},
      {std::string("ab\0cd", 5), "ab"},  // the text ends at its terminator
  };
  for (const auto& c : cases) {
    // A longer text before leaves nothing behind the terminator.
    uResult.setString(std::string(300, 'o'));
    uResult.setString(c.text);
    EXPECT_EQ(uResult.string(), c.kept) << c.text.size() << " bytes";
  }
  uResult.clear();
  EXPECT_EQ(uResult.string(), "");
  EXPECT_EQ(uResult.integer(), 0);
}

TEST(SnmpGetReply, FollowsTheReplyTable) {
  UResult integer;
  integer.setInteger(-3);
  UResult text;
  text.setString("Office Printer 7");
  UResult oid;
  oid.setString("1.3.6.1.4.1.9");
  const UResult empty;
  UResult longest;
  longest.setString(std::string(300, 'y'));

  struct Case {
    SnmpGetOutcome outcome;
    const UResult& uResult;
    std::string reply;
  };
  const Case cases[] = {
      {{kSnmpDone, 2}, integer, "TRUE:uResult.integer=-3"},
      {{kSnmpDone, 2}, empty, "TRUE:uResult.integer=0"},
      {{kSnmpDone, 4}, text, "TRUE:uResult.string=Office Printer 7"},
      {{kSnmpDone, 4}, empty, "TRUE:uResult.string="},
      {{kSnmpDone, 4}, longest, "TRUE:uResult.string=" + std::string(255, 'y')},
      {{kSnmpDone, 6}, oid, "TRUE:uResult.string=1.3.6.1.4.1.9"},
      {{kSnmpDone, 6}, empty, "TRUE:uResult.string="},
      // Done with any other type code.
      {{kSnmpDone, 5}, text, "FALSE"},
      {{kSnmpDone, 0}, text, "FALSE"},
      {{kSnmpDone, 0x40}, integer, "FALSE"},
      // Any other status wins over the type code and the result area.
      {{kSnmpCancelled, 4}, text, "FALSE:rtn_ExitValue=-1"},
      {{kSnmpNoExchange, 2}, integer, "FALSE:rtn_ExitValue=-9780"},
      {{kSnmpUnexpectedNull, 5}, empty, "FALSE:rtn_ExitValue=-30896"},
      {{kSnmpUnexpectedType, 0x41}, empty, "FALSE:rtn_ExitValue=-50"},
      {{7, 2}, integer, "FALSE:rtn_ExitValue=7"},
      {{std::numeric_limits<std::int32_t>::min(), 4}, text, "FALSE:rtn_ExitValue=-2147483648"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(snmpGetReply(c.outcome, c.uResult), c.reply)
        << "status " << c.outcome.status << ", type " << int{c.outcome.type};
  }
}

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
    const auto args = requests::snmpGetArgs("public", host, "1.3.6.1.2.1.1.1.0");
    const std::vector<std::string_view> views(args.begin(), args.end());
    UResult uResult;
    return PdeSnmpGet(shared_, views, uResult, 4, 0);
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

namespace printxpc {
namespace {

TEST(SnmpGetAnswerMatching, RequestIdOfGetResponsesOnly) {
  using Bytes = std::vector<std::uint8_t>;
  // 30 L | 02 01 00 | 04 01 'p' | A2 L | 02 n id... | (rest of the PDU is not read)
  const auto response = [](std::uint8_t pduTag, const Bytes& id) {
    Bytes pdu{0x02, static_cast<std::uint8_t>(id.size())};
    pdu.insert(pdu.end(), id.begin(), id.end());
    Bytes body{0x02, 0x01, 0x00, 0x04, 0x01, 'p', pduTag, static_cast<std::uint8_t>(pdu.size())};
    body.insert(body.end(), pdu.begin(), pdu.end());
    Bytes message{0x30, static_cast<std::uint8_t>(body.size())};
    message.insert(message.end(), body.begin(), body.end());
    return message;
  };
  struct Case {
    const char* name;
    Bytes datagram;
    std::optional<std::int64_t> id;
  };
  const Case cases[] = {
      {"two bytes as sent", response(0xA2, {0x34, 0x12}), 0x3412},
      {"minimal re-encoding", response(0xA2, {0x05}), 5},
      {"negative value", response(0xA2, {0xCD, 0xAB}), -12885},
      {"negative, minimal", response(0xA2, {0x80}), -128},
      {"GetRequest PDU", response(0xA0, {0x05}), std::nullopt},
      {"empty request id", response(0xA2, {}), std::nullopt},
      {"nine-byte request id", response(0xA2, Bytes(9, 1)), std::nullopt},
      {"empty datagram", {}, std::nullopt},
      {"truncated", Bytes{0x30, 0x82, 0xFF}, std::nullopt},
      {"not a sequence", Bytes{0x04, 0x00}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SNMPMessage::getResponseRequestId(c.datagram), c.id) << c.name;
  }
  // The outer length may not claim more than the datagram holds.
  Bytes cut = response(0xA2, {0x01});
  cut.pop_back();
  EXPECT_EQ(SNMPMessage::getResponseRequestId(cut), std::nullopt);
}

}  // namespace
}  // namespace printxpc
