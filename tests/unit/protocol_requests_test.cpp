#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/markers.h"
#include "protocol/request_string.h"
#include "protocol/requests.h"

namespace printxpc {
namespace {

using std::optional;
using std::string_view;

TEST(RequestString, FieldsUseTheFirstOccurrenceOfEachMarker) {
  const RequestString parsed("one:a:two:b:three:a:rest");
  EXPECT_EQ(parsed.leadingField(":a:"), "one");
  EXPECT_EQ(parsed.fieldBetween(":a:", ":b:"), "two");
  EXPECT_EQ(parsed.trailingText(":b:"), "three:a:rest");
  EXPECT_EQ(parsed.leadingField(":missing:"), std::nullopt);
  EXPECT_EQ(parsed.fieldBetween(":missing:", ":b:"), std::nullopt);
  EXPECT_EQ(parsed.fieldBetween(":a:", ":missing:"), std::nullopt);
  // Out of order: :a: starts before :b: ends.
  EXPECT_EQ(parsed.fieldBetween(":b:", ":a:"), std::nullopt);
  // Adjacent markers give an empty field, which is not an absent one.
  EXPECT_EQ(RequestString(":a::b:").fieldBetween(":a:", ":b:"), "");
}

TEST(PlistWriteRequest, SplitsAtTheFirstMarker) {
  struct Case {
    std::string request;
    optional<std::string> url;
    std::string contents;
  };
  const Case cases[] = {
      {"file:///tmp/a.plist:AddURL:END<plist/>", "file:///tmp/a.plist", "<plist/>"},
      {"file:///tmp/a.plist:AddURL:END", "file:///tmp/a.plist", ""},
      {"file:///x:AddURL:ENDa:AddURL:ENDb", "file:///x", "a:AddURL:ENDb"},
      {"no marker here", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    const auto parsed = requests::parsePlistWrite(c.request);
    ASSERT_EQ(parsed.has_value(), c.url.has_value()) << c.request;
    if (parsed) {
      EXPECT_EQ(parsed->url, *c.url);
      EXPECT_EQ(parsed->contents, c.contents);
      EXPECT_EQ(requests::buildPlistWrite(parsed->url, parsed->contents), c.request);
    }
  }
}

TEST(MagicPacketRequest, FieldRules) {
  struct Case {
    std::string request;
    bool defined;
    optional<std::string> address, mac, password;
  };
  const auto none = std::nullopt;
  const Case cases[] = {
      {"127.0.0.1:ARGipAddressStr:00:11:22:33:44:55:ARGmacAddressStr:NULL:ARGpasswordStr:", true,
       "127.0.0.1", "00:11:22:33:44:55", none},
      {"NULL:ARGipAddressStr:NULL:ARGmacAddressStr:NULL:ARGpasswordStr:", true, none, none, none},
      {"null:ARGipAddressStr:null:ARGmacAddressStr:null:ARGpasswordStr:", true, "null", "null",
       "null"},
      {":ARGipAddressStr::ARGmacAddressStr::ARGpasswordStr:", true, "", "", ""},
      {"", true, none, none, none},                                    // no markers at all
      {"10.0.0.9", true, none, none, none},                            // no markers: all absent
      {"1.2.3.4:ARGipAddressStr:aa:bb", true, "1.2.3.4", none, none},  // only leading markers
      {"a:ARGipAddressStr:m:ARGmacAddressStr:p:ARGpasswordStr:ignored", true, "a", "m", "p"},
      {"m:ARGmacAddressStr:p:ARGpasswordStr:", false, none, none, none},  // gap before mac
      {"a:ARGipAddressStr:p:ARGpasswordStr:", false, none, none, none},   // gap before password
      {"p:ARGpasswordStr:m:ARGmacAddressStr:a:ARGipAddressStr:", false, none, none, none},
  };
  for (const auto& c : cases) {
    const auto parsed = requests::parseMagicPacket(c.request);
    ASSERT_EQ(parsed.has_value(), c.defined) << c.request;
    if (!parsed) {
      continue;
    }
    const auto same = [](optional<string_view> got, const optional<std::string>& want) {
      return got.has_value() == want.has_value() && (!got || *got == *want);
    };
    EXPECT_TRUE(same(parsed->address, c.address)) << c.request;
    EXPECT_TRUE(same(parsed->mac, c.mac)) << c.request;
    EXPECT_TRUE(same(parsed->password, c.password)) << c.request;
  }
}

TEST(MagicPacketRequest, BuilderRoundTripsAndWritesNullForAbsent) {
  EXPECT_EQ(requests::buildMagicPacket(std::nullopt, "00:11:22:33:44:55", std::nullopt),
            "NULL:ARGipAddressStr:00:11:22:33:44:55:ARGmacAddressStr:NULL:ARGpasswordStr:");
  const std::string request =
      requests::buildMagicPacket("127.0.0.1", "aa:bb:cc:dd:ee:ff", "secret");
  const auto parsed = requests::parseMagicPacket(request);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->address, "127.0.0.1");
  EXPECT_EQ(parsed->mac, "aa:bb:cc:dd:ee:ff");
  EXPECT_EQ(parsed->password, "secret");
}

TEST(EchoRequest, AddressAndTimeout) {
  struct Case {
    std::string request;
    bool defined;
    std::string address;
    std::int64_t timeout;
  };
  const Case cases[] = {
      {"127.0.0.1:sIpAddr:END1500", true, "127.0.0.1", 1500},
      {"127.0.0.1:sIpAddr:END", true, "127.0.0.1", 0},
      {"127.0.0.1:sIpAddr:ENDabc", true, "127.0.0.1", 0},
      {":sIpAddr:END250", true, "", 250},
      {"127.0.0.1:sIpAddr:END 20x", true, "127.0.0.1", 20},
      {"127.0.0.1", false, "", 0},
  };
  for (const auto& c : cases) {
    const auto parsed = requests::parseEcho(c.request);
    ASSERT_EQ(parsed.has_value(), c.defined) << c.request;
    if (parsed) {
      EXPECT_EQ(parsed->address, c.address);
      EXPECT_EQ(parsed->timeoutMs, c.timeout);
    }
  }
  EXPECT_EQ(requests::buildEcho("127.0.0.1", 250), "127.0.0.1:sIpAddr:END250");
}

TEST(CancelWriteRequest, PathEndsAtTheMarker) {
  EXPECT_EQ(requests::parseCancelWrite("/tmp/c:CancelFileName:"), "/tmp/c");
  EXPECT_EQ(requests::parseCancelWrite("/tmp/c:CancelFileName:trailing text"), "/tmp/c");
  EXPECT_EQ(requests::parseCancelWrite(":CancelFileName:"), "");
  EXPECT_EQ(requests::parseCancelWrite("/tmp/c"), std::nullopt);
  EXPECT_EQ(requests::buildCancelWrite("/tmp/c"), "/tmp/c:CancelFileName:");
}

TEST(SnmpGetRequest, WorkedExampleFields) {
  requests::SnmpGetFields fields;
  fields.iType = 4;
  fields.cancelFlag = 0;
  fields.cancelFileName = "/tmp/example-cancel";
  fields.timeoutMs = 500;
  fields.retries = 3;
  fields.args = requests::snmpGetArgs("public", "192.0.2.10", "1.3.6.1.2.1.25.3.2.1.3.1");
  const std::string request = requests::buildSnmpGet(fields);
  EXPECT_EQ(request,
            "8:argCount:4:iType:0:cancelFlag:/tmp/example-cancel:CancelFileName:500:gSnmpTimeout:"
            "3:gSnmpRetries:0:rtnCharFlag:x:arg:x:arg:x:arg:public:arg:x:arg:x:arg:192.0.2.10:arg:"
            "1.3.6.1.2.1.25.3.2.1.3.1:arg:");

  const auto parsed = requests::parseSnmpGet(request);
  EXPECT_EQ(parsed.iType, "4");
  EXPECT_EQ(parsed.cancelFlag, "0");
  EXPECT_EQ(parsed.cancelFileName, "/tmp/example-cancel");
  EXPECT_EQ(parsed.timeout, "500");
  EXPECT_EQ(parsed.retries, "3");
  EXPECT_EQ(parsed.rtnCharFlag, "0");
  ASSERT_TRUE(parsed.argList);
  const auto slots = requests::splitSnmpArgs(*parsed.argList);
  ASSERT_EQ(slots.size(), 8U);
  EXPECT_EQ(slots[requests::kCommunitySlot], "public");
  EXPECT_EQ(slots[requests::kHostSlot], "192.0.2.10");
  EXPECT_EQ(slots[requests::kOidSlot], "1.3.6.1.2.1.25.3.2.1.3.1");

  fields.cancelFlag.reset();
  const std::string withoutCancel = requests::buildSnmpGet(fields);
  EXPECT_EQ(requests::parseSnmpGet(withoutCancel).cancelFlag, "NULL");
}

TEST(SnmpGetRequest, MissingAndMisorderedMarkersLeaveFieldsAbsent) {
  const auto noFile = requests::parseSnmpGet("8:argCount:4:iType:0:cancelFlag:500:gSnmpTimeout:");
  EXPECT_EQ(noFile.cancelFileName, std::nullopt);
  EXPECT_EQ(noFile.timeout, std::nullopt);  // starts at the missing marker
  const auto swapped = requests::parseSnmpGet("4:iType:8:argCount:");
  EXPECT_EQ(swapped.iType, std::nullopt);
}

TEST(SnmpArgs, SplittingRules) {
  struct Case {
    std::string list;
    std::vector<std::string> slots;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {}},
      {"a:arg:", {"a"}},
      {"a:arg:b", {"a"}},
      {"a:arg:b:arg:", {"a", "b"}},
      {":arg::arg:", {"", ""}},
      {"0:arg:1:arg:2:arg:3:arg:4:arg:5:arg:6:arg:7:arg:8:arg:",
       {"0", "1", "2", "3", "4", "5", "6", "7", "8"}},
      {"0:arg:1:arg:2:arg:3:arg:4:arg:5:arg:6:arg:7:arg:8",
       {"0", "1", "2", "3", "4", "5", "6", "7"}},
  };
  for (const auto& c : cases) {
    const auto slots = requests::splitSnmpArgs(c.list);
    EXPECT_EQ(std::vector<std::string>(slots.begin(), slots.end()), c.slots) << c.list;
  }
}

TEST(SnmpArgs, EntriesBeyondTheSlotsAreIgnored) {
  std::string list;
  for (int i = 0; i < 600; ++i) {
    list += std::to_string(i) + ":arg:";
  }
  const auto slots = requests::splitSnmpArgs(list);
  ASSERT_EQ(slots.size(), requests::kSnmpArgSlots);
  EXPECT_EQ(slots.back(), "511");
}

}  // namespace
}  // namespace printxpc
