// SNMP GETs through the service against real peers: a scripted fake agent on 127.0.0.2
// and net-snmp's snmpd on 127.0.0.1, both on port 161 inside the private namespace.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "protocol/requests.h"
#include "shared/wait.h"
#include "snmp/snmp_exchange.h"
#include "snmp/snmp_get.h"
#include "support/process.h"
#include "support/service_fixture.h"
#include "support/snmp_peers.h"
#include "support/test_support.h"

namespace printxpc::test_support {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kAgent[] = "127.0.0.2";

struct Get {
  std::string host = kAgent;
  std::string oid = "1.3.6.1.2.1.1.2.0";
  std::string community = "public";
  std::int32_t iType = 4;
  std::optional<std::int32_t> cancelFlag;
  std::string cancelFile;
  std::int32_t timeoutMs = 500;
  std::int32_t rtnCharFlag = 0;

  std::string request() const {
    return snmpGetRequest(host, oid, cancelFile, timeoutMs, iType, cancelFlag, community,
                          rtnCharFlag);
  }
};

// Every GetRequest that reached the agent, kept for the test to read.
class Captured {
 public:
  void add(const SnmpRequest& request) {
    const std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  std::vector<SnmpRequest> take() {
    const std::lock_guard lock(mutex_);
    return std::exchange(requests_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<SnmpRequest> requests_;
};

// Answers every GET with the given value element, echoing the request id.
FakeAgent::Script answerWith(const Bytes& value) {
  return [value](const SnmpRequest& request) {
    return std::vector<Reply>{
        {getResponse(request.community, request.requestIdContent, request.oidContent, value)}};
  };
}

// One answer value, how the GET asks for it, and the reply it must give.
struct ValueCase {
  const char* name;
  Bytes value;
  std::int32_t iType;
  std::int32_t rtnCharFlag;
  std::string reply;
};

class SnmpGetTest : public ::testing::Test {
 protected:
  // Each value answered by a scripted agent of its own; the wait only bounds a lost answer.
  void expectReplies(std::span<const ValueCase> cases) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      FakeAgent agent(kAgent, answerWith(c.value));
      ASSERT_TRUE(agent.listening());
      Get request;
      request.iType = c.iType;
      request.rtnCharFlag = c.rtnCharFlag;
      request.timeoutMs = 2000;
      EXPECT_EQ(get(request), c.reply);
    }
  }

  void SetUp() override { PRINTXPC_REQUIRE_NETNS(); }

  std::string cancelFile(const std::string& name = "cancel") const {
    return service_.dir() + "/" + name;
  }
  std::string get(Get get) {
    if (get.cancelFile.empty()) {
      get.cancelFile = cancelFile();
    }
    return service_.call(kGet, get.request());
  }
  std::string cancelWrite(const std::string& path) {
    return service_.call(kCancel, requests::buildCancelWrite(path));
  }

  RunningService service_;
};

TEST_F(SnmpGetTest, ValueTypesAndFormatting) {
  const ValueCase cases[] = {
      {"integer -3", tlv(0x02, {0xFD}), 2, 0, "TRUE:uResult.integer=-3"},
      {"integer 3", tlv(0x02, {0x03}), 2, 0, "TRUE:uResult.integer=3"},
      {"text",
       tlv(0x04, {'O', 'f', 'f', 'i', 'c', 'e', ' ', 'P', 'r', 'i', 'n', 't', 'e', 'r', ' ', '7'}),
       4, 0, "TRUE:uResult.string=Office Printer 7"},
      {"object identifier", tlv(0x06, {0x2B, 6, 1, 4, 1, 0x81, 0xFD, 0x59, 1, 2}), 4, 0,
       "TRUE:uResult.string=1.3.6.1.4.1.32473.1.2"},
      {"null expected as text", tlv(0x05, {}), 4, 0, "TRUE:uResult.string="},
      {"null expected as integer", tlv(0x05, {}), 2, 0, "FALSE:rtn_ExitValue=-30896"},
      {"counter", tlv(0x41, {0x01, 0x00}), 2, 0, "FALSE:rtn_ExitValue=-30896"},
      {"ip address as text", tlv(0x40, {192, 0, 2, 10}), 4, 0, "TRUE:uResult.string="},
      {"mac, hex form", tlv(0x04, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}), 4, 1,
       "TRUE:uResult.string=00:1A:2B:3C:4D:5E"},
      {"mac, fallback form", tlv(0x04, {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5}), 4, 1,
       "TRUE:uResult.string=a0:b1:c2:d3:e4:f5"},
      {"mac, plain text", tlv(0x04, {'0', '0', '1', 'a', '2', 'b', '3', 'c', '4', 'd', '5', 'e'}),
       4, 1, "TRUE:uResult.string=00:1a:2b:3c:4d:5e"},
      {"mac, other length", tlv(0x04, {'a', 'b', 'c'}), 4, 1, "TRUE:uResult.string="},
      {"mac flag on an integer", tlv(0x02, {0x07}), 2, 1, "TRUE:uResult.integer=7"},
  };
  expectReplies(cases);
}

TEST_F(SnmpGetTest, OnlyTheAnswerToThisRequestCounts) {
  const Bytes good = tlv(0x02, {0x2A});
  const Bytes wrong = tlv(0x02, {0x07});
  struct Case {
    const char* name;
    std::function<std::vector<Reply>(const SnmpRequest&)> replies;
    std::string reply;
  };
  const auto response = [](const SnmpRequest& r, const Bytes& value) {
    return getResponse(r.community, r.requestIdContent, r.oidContent, value);
  };
  const auto otherId = [](const SnmpRequest& r) {
    Bytes id = r.requestIdContent;
    id.back() ^= 0x01;
    return id;
  };
  const Case cases[] = {
      {"spoofed from another address, then the agent",
       [&](const SnmpRequest& r) {
         return std::vector<Reply>{{response(r, wrong), "127.0.0.3", 161}, {response(r, good)}};
       },
       "TRUE:uResult.integer=42"},
      {"spoofed only",
       [&](const SnmpRequest& r) {
         return std::vector<Reply>{{response(r, wrong), "127.0.0.3", 161}};
       },
       "FALSE:rtn_ExitValue=-9780"},
      {"from another port of the agent's address",
       [&](const SnmpRequest& r) {
         return std::vector<Reply>{{response(r, wrong), kAgent, 1161}};
       },
       "FALSE:rtn_ExitValue=-9780"},
      {"stale request id, then the right one",
       [&](const SnmpRequest& r) {
         return std::vector<Reply>{{getResponse(r.community, otherId(r), r.oidContent, wrong)},
                                   {response(r, good)}};
       },
       "TRUE:uResult.integer=42"},
      {"wrong request id only",
       [&](const SnmpRequest& r) {
         return std::vector<Reply>{{getResponse(r.community, otherId(r), r.oidContent, wrong)}};
       },
       "FALSE:rtn_ExitValue=-9780"},
      {"empty datagram, then the answer",
       [&](const SnmpRequest& r) {
         return std::vector<Reply>{{Bytes{}}, {response(r, good), "", 0, 50}};
       },
       "TRUE:uResult.integer=42"},
      {"not a GetResponse", [&](const SnmpRequest& r) { return std::vector<Reply>{{r.datagram}}; },
       "FALSE:rtn_ExitValue=-9780"},
      {"garbage, then the answer",
       [&](const SnmpRequest& r) {
         return std::vector<Reply>{{Bytes{0x30, 0x82, 0xFF}}, {response(r, good)}};
       },
       "TRUE:uResult.integer=42"},
      {"silence", [](const SnmpRequest&) { return std::vector<Reply>{}; },
       "FALSE:rtn_ExitValue=-9780"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeAgent agent(kAgent, c.replies);
    Get request;
    request.iType = 2;
    request.timeoutMs = 300;
    EXPECT_EQ(get(request), c.reply);
  }
}

TEST_F(SnmpGetTest, RequestIdIsComparedAsAnIntegerValue) {
  // Re-encode the request id in minimal form, as snmpd does (02 02 00 05 comes back 02 01 05).
  FakeAgent agent(kAgent, [](const SnmpRequest& r) {
    Bytes id = r.requestIdContent;
    while (id.size() > 1 && ((id[0] == 0x00 && id[1] < 0x80) || (id[0] == 0xFF && id[1] >= 0x80))) {
      id.erase(id.begin());
    }
    return std::vector<Reply>{{getResponse(r.community, id, r.oidContent, tlv(0x02, {0x09}))}};
  });
  for (int i = 0; i < 20; ++i) {  // random ids: some have a leading 00 or FF byte
    Get request;
    request.iType = 2;
    EXPECT_EQ(get(request), "TRUE:uResult.integer=9");
  }
}

TEST_F(SnmpGetTest, RequestsThatNeverReachTheNetwork) {
  FakeAgent agent(kAgent, answerWith(tlv(0x02, {1})));
  struct Case {
    const char* name;
    Get get;
  };
  Get hostName;
  hostName.host = "printer.example";
  Get ipv6;
  ipv6.host = "::1";
  Get emptyCommunity;
  emptyCommunity.community = "";
  Get badOid;
  badOid.oid = "1.3.six";
  Get cancelled;
  cancelled.cancelFlag = 1;
  const Case cases[] = {{"host name", hostName},
                        {"IPv6 address", ipv6},
                        {"empty community", emptyCommunity},
                        {"OID outside the limits", badOid},
                        {"cancel flag 1", cancelled}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Get request = c.get;
    request.timeoutMs = 2000;
    const std::string reply = get(request);
    EXPECT_EQ(reply, std::string("FALSE:rtn_ExitValue=") + (c.get.cancelFlag ? "-1" : "-9780"));
  }
  EXPECT_EQ(agent.requestsSeen(), 0);
  // Fewer than eight entries: slots 3, 6 or 7 are missing.
  EXPECT_EQ(service_.call(kGet, "8:argCount:4:iType:NULL:cancelFlag:" + cancelFile() +
                                    ":CancelFileName:500:gSnmpTimeout:3:gSnmpRetries:0:"
                                    "rtnCharFlag:x:arg:x:arg:x:arg:public:arg:"),
            "FALSE:rtn_ExitValue=-9780");
}

TEST_F(SnmpGetTest, HostTextIsTrimmed) {
  FakeAgent agent(kAgent, answerWith(tlv(0x02, {5})));
  Get request;
  request.iType = 2;
  request.host = " 127.0.0.2\r\n";
  EXPECT_EQ(get(request), "TRUE:uResult.integer=5");
}

// Coarse bounds on the wait (not below the timeout, not far above it).
TEST_F(SnmpGetTest, TimeoutAndItsSharingAcrossConnectionsTiming) {
  FakeAgent silent(kAgent, [](const SnmpRequest&) { return std::vector<Reply>{}; });
  Get request;
  request.timeoutMs = 400;
  auto begin = Clock::now();
  EXPECT_EQ(get(request), "FALSE:rtn_ExitValue=-9780");
  auto took = Clock::now() - begin;
  EXPECT_GE(took, 400ms);
  EXPECT_LT(took, 1400ms);
  // Timeout 0 keeps the 400 ms that the first connection stored.
  request.timeoutMs = 0;
  begin = Clock::now();
  EXPECT_EQ(get(request), "FALSE:rtn_ExitValue=-9780");
  took = Clock::now() - begin;
  EXPECT_GE(took, 400ms);
  EXPECT_LT(took, 1400ms);
}

TEST_F(SnmpGetTest, CancelEndsAWaitPromptly) {
  FakeAgent silent(kAgent, [](const SnmpRequest&) { return std::vector<Reply>{}; });
  Get request;
  request.timeoutMs = 60000;  // ended by its timeout, the GET would answer -9780
  request.cancelFlag = 0;
  auto pending = std::async(std::launch::async, [&] { return get(request); });
  ASSERT_TRUE(waitUntil([&] { return silent.requestsSeen() > 0; }));
  EXPECT_EQ(cancelWrite(cancelFile()), "TRUE");
  ASSERT_EQ(pending.wait_for(kFailureGuard), std::future_status::ready);
  EXPECT_EQ(pending.get(), "FALSE:rtn_ExitValue=-1");
  // The watcher removes the file; a second cancel finds nothing and creates nothing.
  EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(cancelFile()); }));
  EXPECT_EQ(cancelWrite(cancelFile()), "FALSE");
  EXPECT_FALSE(std::filesystem::exists(cancelFile()));
  // The flag stays raised: a GET that does not set its own flag ends at once.
  FakeAgent* none = &silent;
  Get untouched;
  untouched.cancelFile = cancelFile("other");
  const int before = none->requestsSeen();
  EXPECT_EQ(get(untouched), "FALSE:rtn_ExitValue=-1");
  EXPECT_EQ(none->requestsSeen(), before);
}

// The watch cap (at most 1,024 files) never ends the watch of a GET that still waits: 1,100
// GETs of another caller, each with a cancel file of its own and answered at once (an empty
// community goes nowhere), arm and finish meanwhile, and the cancel still ends the wait.
TEST_F(SnmpGetTest, WaitingGetKeepsItsWatchPastTheCap) {
  FakeAgent silent(kAgent, [](const SnmpRequest&) { return std::vector<Reply>{}; });
  Get waiting;
  waiting.timeoutMs = 60000;  // ended by its timeout, the GET would answer -9780
  waiting.cancelFlag = 0;
  auto pending = std::async(std::launch::async, [&] { return get(waiting); });
  ASSERT_TRUE(waitUntil([&] { return silent.requestsSeen() > 0; }));
  for (int i = 0; i < 1100; ++i) {
    Get other;
    other.community = "";
    other.cancelFlag = 0;
    other.cancelFile = cancelFile("other-" + std::to_string(i));
    ASSERT_EQ(get(other), "FALSE:rtn_ExitValue=-9780") << i;
  }
  EXPECT_EQ(cancelWrite(cancelFile()), "TRUE");
  ASSERT_EQ(pending.wait_for(kFailureGuard), std::future_status::ready);
  EXPECT_EQ(pending.get(), "FALSE:rtn_ExitValue=-1");
}

TEST_F(SnmpGetTest, WatchOutlivesItsGet) {
  FakeAgent agent(kAgent, answerWith(tlv(0x02, {1})));
  Get request;
  request.iType = 2;
  request.cancelFlag = 0;
  EXPECT_EQ(get(request), "TRUE:uResult.integer=1");
  EXPECT_EQ(cancelWrite(cancelFile()), "TRUE");  // meant for a GET that is over
  // The watch fires: the flag is raised, then the file removed.
  EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(cancelFile()); }));
  Get later;
  later.iType = 2;
  later.cancelFile = cancelFile("later");
  EXPECT_EQ(get(later), "FALSE:rtn_ExitValue=-1");
}

TEST_F(SnmpGetTest, CancelFileRules) {
  FakeAgent agent(kAgent, answerWith(tlv(0x02, {1})));
  Get request;
  request.iType = 2;
  // A missing cancel file is created 0664; an existing one keeps its content.
  EXPECT_EQ(get(request), "TRUE:uResult.integer=1");
  struct stat status {};
  ASSERT_EQ(::stat(cancelFile().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0664U);
  EXPECT_EQ(status.st_size, 0);
  { std::ofstream(cancelFile("kept")) << "keep"; }
  request.cancelFile = cancelFile("kept");
  EXPECT_EQ(get(request), "TRUE:uResult.integer=1");
  EXPECT_EQ(std::filesystem::file_size(cancelFile("kept")), 4U);
  // Without a usable cancel file the request is refused and changes nothing.
  request.cancelFile = service_.dir() + "/missing/dir/cancel";
  request.timeoutMs = 1234;
  EXPECT_EQ(get(request), "FALSE");
  EXPECT_EQ(service_.call(kGet, "8:argCount:4:iType:NULL:cancelFlag:"), "FALSE");
  // Two cancel writes before any watch: both append, the file holds two bytes 0x01.
  std::ofstream(cancelFile("two")).close();
  EXPECT_EQ(cancelWrite(cancelFile("two")), "TRUE");
  EXPECT_EQ(cancelWrite(cancelFile("two")), "TRUE");
  std::ifstream two(cancelFile("two"), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(two), {}), std::string("\x01\x01"));
  // A cancel write never creates the file.
  EXPECT_EQ(cancelWrite(cancelFile("never")), "FALSE");
  EXPECT_FALSE(std::filesystem::exists(cancelFile("never")));
  EXPECT_EQ(service_.call(kCancel, "no marker"), "FALSE");
}

TEST_F(SnmpGetTest, ConcurrentGetsEachGetTheirOwnAnswer) {
  // The agent answers the OID 1.3.6.1.4.1.9.n with the INTEGER n, after a delay of its own.
  FakeAgent agent(kAgent, [](const SnmpRequest& r) {
    const std::uint8_t n = r.oidContent.back();
    return std::vector<Reply>{
        {getResponse(r.community, r.requestIdContent, r.oidContent, tlv(0x02, {n})), "", 0,
         (n * 7) % 40}};
  });
  std::vector<std::future<std::string>> replies;
  for (int n = 1; n <= 32; ++n) {
    replies.push_back(std::async(std::launch::async, [this, n] {
      Get request;
      request.iType = 2;
      request.oid = "1.3.6.1.4.1.9." + std::to_string(n);
      request.timeoutMs = 3000;
      return get(request);
    }));
  }
  for (int n = 1; n <= 32; ++n) {
    EXPECT_EQ(replies[static_cast<std::size_t>(n - 1)].get(),
              "TRUE:uResult.integer=" + std::to_string(n));
  }
}

// The request as it reaches the agent: which OID texts are sent (and as what), and the
// community's bytes and BER length. A refused request answers -9780 at once, unsent.
TEST_F(SnmpGetTest, RequestBytesAtTheAgent) {
  Captured captured;
  // Answered with the community "public" whatever came, so that the longest request still
  // gets an answer that fits a datagram.
  FakeAgent agent(kAgent, [&](const SnmpRequest& r) {
    captured.add(r);
    return std::vector<Reply>{
        {getResponse("public", r.requestIdContent, r.oidContent, tlv(0x02, {1}))}};
  });
  const auto header = [](std::size_t length) {
    return Bytes{0x04, 0x82, static_cast<std::uint8_t>(length >> 8),
                 static_cast<std::uint8_t>(length & 0xFF)};
  };
  // Everything but the community in a request for 1.3.6.1.2.1.1.2.0: outer header (long
  // form), version, community header (long form), PDU.
  constexpr std::size_t kRequestWithoutCommunity = 4 + 3 + 4 + 28;
  const std::size_t longest = kMaxUdpPayload - kRequestWithoutCommunity;
  std::string euros;
  while (euros.size() < 300) euros += "\xE2\x82\xAC";
  struct Case {
    const char* name;
    std::string oid;
    std::string community;
    std::optional<Bytes> oidContent;  // nothing: refused, never sent
    Bytes communityHeader;
  };
  const Bytes sysObjectId{0x2B, 6, 1, 2, 1, 1, 2, 0};
  const Bytes sysDescr{0x2B, 6, 1, 2, 1, 1, 1, 0};
  const Case cases[] = {
      // An empty first arc.
      {"leading dot", ".1.3.6.1.2.1.1.1.0", "public", std::nullopt, {}},
      {"two dots", "..", "public", std::nullopt, {}},
      {"one dot", ".", "public", std::nullopt, {}},
      {"empty later arc is 0", "1.3..6", "public", Bytes{0x2B, 0, 6}, {0x04, 6}},
      {"trailing dot adds nothing", "1.3.6.", "public", Bytes{0x2B, 6}, {0x04, 6}},
      // Arcs read as atoi reads them.
      {"trailing blank", "1.3.6.1.2.1.1.1.0 ", "public", sysDescr, {0x04, 6}},
      {"trailing line break", "1.3.6.1.2.1.1.1.0\r\n", "public", sysDescr, {0x04, 6}},
      {"blanks and a plus sign", " 1. 3.+6", "public", Bytes{0x2B, 6}, {0x04, 6}},
      {"text after the digits", "1.3.6abc.1", "public", Bytes{0x2B, 6, 1}, {0x04, 6}},
      {"negative arc", "1.3.6.-1", "public", std::nullopt, {}},
      {"arc without digits", "1.3.6.x", "public", std::nullopt, {}},
      {"two signs", "1.3.+-6", "public", std::nullopt, {}},
      {"NUL in an arc", std::string("1.3.6\0.1", 8), "public", std::nullopt, {}},
      {"largest arc",
       "1.3.2147483647",
       "public",
       Bytes{0x2B, 0x87, 0xFF, 0xFF, 0xFF, 0x7F},
       {0x04, 6}},
      {"arc one above the largest", "1.3.2147483648", "public", std::nullopt, {}},
      {"second arc past 2, at its largest",
       "2.2147483647",
       "public",
       Bytes{0x88, 0x80, 0x80, 0x80, 0x4F},
       {0x04, 6}},
      // Communities go out whole.
      {"two-byte character", "1.3.6.1.2.1.1.2.0", "\xC3\xA9", sysObjectId, {0x04, 2, 0xC3, 0xA9}},
      {"127 ASCII bytes", "1.3.6.1.2.1.1.2.0", std::string(127, 'c'), sysObjectId, {0x04, 0x7F}},
      {"128 ASCII bytes", "1.3.6.1.2.1.1.2.0", std::string(128, 'c'), sysObjectId, header(128)},
      {"256 ASCII bytes", "1.3.6.1.2.1.1.2.0", std::string(256, 'c'), sysObjectId, header(256)},
      {"300 bytes of three-byte characters", "1.3.6.1.2.1.1.2.0", euros, sysObjectId,
       header(euros.size())},
      {"longest that a datagram carries", "1.3.6.1.2.1.1.2.0", std::string(longest, 'c'),
       sysObjectId, header(longest)},
      {"one byte longer", "1.3.6.1.2.1.1.2.0", std::string(longest + 1, 'c'), std::nullopt, {}},
  };
  int sent = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Get request;
    request.oid = c.oid;
    request.community = c.community;
    request.iType = 2;
    request.timeoutMs = 2000;
    const std::string reply = get(request);
    const std::vector<SnmpRequest> seen = captured.take();
    if (!c.oidContent) {
      EXPECT_EQ(reply, "FALSE:rtn_ExitValue=-9780");
      EXPECT_TRUE(seen.empty());
      continue;
    }
    ++sent;
    EXPECT_EQ(reply, "TRUE:uResult.integer=1");
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].oidContent, *c.oidContent);
    EXPECT_EQ(seen[0].community, c.community);
    // The community element follows the outer header and the version (02 01 00).
    const Bytes& datagram = seen[0].datagram;
    const std::size_t at = (datagram[1] == 0x82 ? 4 : 2) + 3;
    ASSERT_GE(datagram.size(), at + c.communityHeader.size());
    EXPECT_EQ(Bytes(datagram.begin() + static_cast<long>(at),
                    datagram.begin() + static_cast<long>(at + c.communityHeader.size())),
              c.communityHeader);
  }
  EXPECT_EQ(agent.requestsSeen(), sent);
}

// Answers of any size up to a whole datagram are decoded; texts are cut to at most 255
// bytes without splitting a character; malformed numbers give no value.
TEST_F(SnmpGetTest, AnswersFromTheAgent) {
  const auto octets = [](const std::string& text) {
    return tlv(0x04, Bytes(text.begin(), text.end()));
  };
  // The longest OCTET STRING whose answer still fits one datagram (the agent echoes the
  // community "public" and the OID 1.3.6.1.2.1.1.2.0).
  const std::size_t largest = kMaxUdpPayload - 4 - 3 - 8 - 4 - 4 - 3 - 3 - 4 - 4 - 10 - 4;
  const std::string e = "\xC3\xA9";
  const std::string euro = "\xE2\x82\xAC";
  const ValueCase cases[] = {
      {"3,000-byte text", octets(std::string(3000, 'a')), 4, 0,
       "TRUE:uResult.string=" + std::string(255, 'a')},
      {"text filling a whole datagram", octets(std::string(largest, 'b')), 4, 0,
       "TRUE:uResult.string=" + std::string(255, 'b')},
      {"cut before a two-byte character", octets(std::string(254, 'x') + e), 4, 0,
       "TRUE:uResult.string=" + std::string(254, 'x')},
      {"two-byte character ending at 255", octets(std::string(253, 'x') + e + "y"), 4, 0,
       "TRUE:uResult.string=" + std::string(253, 'x') + e},
      {"cut inside a three-byte character", octets(std::string(253, 'x') + euro), 4, 0,
       "TRUE:uResult.string=" + std::string(253, 'x')},
      {"long text of two-byte characters", octets([&] {
         std::string text;
         for (int i = 0; i < 1000; ++i) text += e;
         return text;
       }()),
       4, 0,
       [&] {
         std::string text = "TRUE:uResult.string=";
         for (int i = 0; i < 127; ++i) text += e;
         return text;
       }()},
      {"mac form, 16 bytes splitting a character", octets("0123" + euro + "456789abc"), 4, 1,
       "TRUE:uResult.string="},
      {"mac form, 17 bytes splitting a character", octets("00-1A-2B-3C-4" + e + "-5"), 4, 1,
       "TRUE:uResult.string="},
      {"mac form, 17 bytes with a whole character", octets("00-1A-2B-3C-4D-" + e), 4, 1,
       "TRUE:uResult.string=00:1A:2B:3C:4D:" + e},
      {"integer without content before a high byte", Bytes{0x02, 0x00, 0xFF}, 2, 0,
       "TRUE:uResult.integer=0"},
      {"object identifier, subidentifier past 32 bits",
       tlv(0x06, {0x2B, 6, 0x90, 0x80, 0x80, 0x80, 0x00}), 4, 0, "TRUE:uResult.string="},
      {"object identifier, first subidentifier past 32 bits",
       tlv(0x06, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), 4, 0,
       "TRUE:uResult.string="},
      {"object identifier, largest subidentifier",
       tlv(0x06, {0x2B, 6, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}), 4, 0,
       "TRUE:uResult.string=1.3.6.4294967295"},
  };
  expectReplies(cases);
}

// print-xpc-call takes OIDs as SNMP tools print them, with one leading dot.
TEST_F(SnmpGetTest, CommandLineClientDropsALeadingDot) {
  Captured captured;
  const FakeAgent::Script numbered = FakeAgent::numberedAnswers();
  FakeAgent agent(kAgent, [&](const SnmpRequest& r) {
    captured.add(r);
    return numbered(r);
  });
  struct Case {
    std::string oid;
    std::string reply;
    std::size_t sent;
  };
  const Case cases[] = {
      {"." + numberedOid(5), "TRUE:uResult.integer=5", 1},
      {numberedOid(6), "TRUE:uResult.integer=6", 1},
      {".." + numberedOid(7), "FALSE:rtn_ExitValue=-9780", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.oid);
    const CommandResult result = runCommand(
        {binaryPath("tools/print-xpc-call"), "--socket", service_.socketPath(), "snmp-get", kAgent,
         c.oid, "--type", "2", "--timeout", "2000", "--cancel-file", cancelFile("cli")});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, c.reply + "\n");
    EXPECT_EQ(captured.take().size(), c.sent);
  }
}

class SnmpdGetTest : public SnmpGetTest {
 protected:
  void SetUp() override {
    SnmpGetTest::SetUp();
    if (IsSkipped()) {
      return;
    }
    if (!snmpdAvailable()) {
      GTEST_SKIP() << "snmpd is not installed (scripts/deps installs it)";
    }
    snmpd_ = std::make_unique<Snmpd>("127.0.0.1", longDescription(), "admin@example.com");
    ASSERT_TRUE(snmpd_->ready());
  }
  static std::string longDescription() {
    std::string text = "ARVELLO TESSIN zarvik T41 network printer, firmware 1.2.3;";
    while (text.size() < 200) {
      text += " abcdefghij";
    }
    return text.substr(0, 200);
  }
  std::unique_ptr<Snmpd> snmpd_;
};

TEST_F(SnmpdGetTest, ReadsTheSystemGroup) {
  struct Case {
    std::string oid;
    std::int32_t iType;
    std::string reply;
  };
  const Case cases[] = {
      {"1.3.6.1.2.1.1.1.0", 4, "TRUE:uResult.string=" + longDescription()},
      {"1.3.6.1.2.1.1.2.0", 4, "TRUE:uResult.string=1.3.6.1.4.1.8072.3.2.10"},
      {"1.3.6.1.2.1.1.4.0", 4, "TRUE:uResult.string=admin@example.com"},
      {"1.3.6.1.2.1.1.3.0", 2, "FALSE:rtn_ExitValue=-30896"},  // TimeTicks: not text nor integer
      {"1.3.6.1.2.1.1.99.0", 4, "TRUE:uResult.string="},       // noSuchName, NULL value
      {"1.3.6.1.2.1.1.99.0", 2, "FALSE:rtn_ExitValue=-30896"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.oid);
    Get request;
    request.host = "127.0.0.1";
    request.oid = c.oid;
    request.iType = c.iType;
    EXPECT_EQ(get(request), c.reply);
  }
  Get wrongCommunity;
  wrongCommunity.host = "127.0.0.1";
  wrongCommunity.community = "private";
  wrongCommunity.timeoutMs = 300;
  EXPECT_EQ(get(wrongCommunity), "FALSE:rtn_ExitValue=-9780");  // snmpd stays silent
}

}  // namespace
}  // namespace printxpc::test_support
