#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <vector>

#include "snmp/snmp_message.h"
#include "snmp_test_bytes.h"

namespace printxpc {
namespace {

using test_support::ByteVector;
using test_support::concat;
using test_support::element;
using test_support::hexBytes;
using test_support::textBytes;
using test_support::toVector;

// A request with every field set the way the builder sets it.
void fillRequest(SNMPMessage& msg, std::string_view community,
                 const std::vector<std::string_view>& oids) {
  msg.setMessageSequenceLength(0);
  msg.setVersion(0);
  msg.setCommunityString(community);
  msg.setPduWithType(0xA0, 0);
  const std::array<std::uint8_t, 2> id{0x34, 0x12};
  msg.setRequestId(id, 0x02, 2);
  msg.setError(0);
  msg.setErrorIndex(0);
  msg.setVarbindListSequenceLength(0);
  msg.setVarbindSequenceLength(0);
  msg.setVarbindOidsWithNilValues(oids);
}

// The bytes of a GetRequest, nested from the elements (request id 34 12).
ByteVector expectedRequest(const ByteVector& community, const std::vector<ByteVector>& oids) {
  ByteVector varbinds;
  for (const ByteVector& oid : oids) {
    const ByteVector varbind = element(0x30, concat({element(0x06, oid), hexBytes("05 00")}));
    varbinds.insert(varbinds.end(), varbind.begin(), varbind.end());
  }
  const ByteVector pdu =
      element(0xA0, concat({hexBytes("02 02 34 12 02 01 00 02 01 00"), element(0x30, varbinds)}));
  return element(0x30, concat({hexBytes("02 01 00"), element(0x04, community), pdu}));
}

ByteVector encodeOid(std::string_view oid) {
  std::array<std::uint8_t, SnmpVar::kCapacity> buffer{};
  const std::uint64_t length = SNMPMessage::copyOid(oid, buffer);
  return ByteVector(buffer.begin(), buffer.begin() + static_cast<long>(length));
}

TEST(SnmpEncoder, WorkedExampleGivesTheFortyOneBytes) {
  SNMPMessage msg;
  fillRequest(msg, "public", {"1.3.6.1.2.1.1.2.0"});
  msg.writeSnmpMessageToData();
  EXPECT_EQ(toVector(msg.data()),
            hexBytes("30 27 02 01 00 04 06 70 75 62 6C 69 63 A0 1A 02 02 34 12 02 01 00 02 01 00"
                     "30 0E 30 0C 06 08 2B 06 01 02 01 01 02 00 05 00"));
  EXPECT_TRUE(msg.isSnmpValid());
  EXPECT_EQ(msg.message().length, 39U);
  EXPECT_EQ(msg.pdu().length, 26U);
  EXPECT_EQ(msg.varbindList().length, 14U);
  EXPECT_EQ(msg.varbind().length, 12U);
}

TEST(SnmpEncoder, WritingTwiceGivesTheSameBytes) {
  SNMPMessage msg;
  fillRequest(msg, "public", {"1.3.6.1.2.1.1.2.0"});
  msg.writeSnmpMessageToData();
  const ByteVector first = toVector(msg.data());
  msg.writeSnmpMessageToData();
  EXPECT_EQ(toVector(msg.data()), first);
}

TEST(SnmpEncoder, ArcsInBase128) {
  struct Case {
    std::uint64_t value;
    const char* bytes;
  };
  const Case cases[] = {
      {0, "00"},
      {127, "7F"},
      {128, "81 00"},
      {300, "82 2C"},
      {16383, "FF 7F"},
      {16384, "81 80 00"},
      {2147483647, "87 FF FF FF 7F"},
      {4294967295U, "8F FF FF FF 7F"},
      {std::numeric_limits<std::uint64_t>::max(), "81 FF FF FF FF FF FF FF FF 7F"},
  };
  for (const Case& c : cases) {
    std::array<std::uint8_t, 16> out{};
    const std::uint64_t count = SNMPMessage::seventhBitHasMoreValue(c.value, out);
    EXPECT_EQ(ByteVector(out.begin(), out.begin() + static_cast<long>(count)), hexBytes(c.bytes))
        << c.value;
  }
}

TEST(SnmpEncoder, ArcThatDoesNotFitWritesNothing) {
  std::array<std::uint8_t, 2> out{0xEE, 0xEE};
  EXPECT_EQ(SNMPMessage::seventhBitHasMoreValue(16384, out), 0U);
  EXPECT_EQ(out[0], 0xEE);
}

// Content bytes of OIDs within the limits; getVarbindOIDLength agrees with every row.
TEST(SnmpEncoder, OidTextToContentBytes) {
  struct Case {
    std::string oid;
    ByteVector bytes;
  };
  const std::string dots(251, '.');
  const std::vector<Case> cases = {
      {"1.3", hexBytes("2B")},
      {"2.5.4.3", hexBytes("55 04 03")},
      {"1.3..6", hexBytes("2B 00 06")},
      {"1.3.6.", hexBytes("2B 06")},
      {"1.3.6..", hexBytes("2B 06 00")},
      {"1.3.6.1.2.1.1.2.0", hexBytes("2B 06 01 02 01 01 02 00")},
      {"1.3.6.1.2.1.300.16384", hexBytes("2B 06 01 02 01 82 2C 81 80 00")},
      {"1.3.2147483640", hexBytes("2B 87 FF FF FF 78")},
      {"1.3.2147483647", hexBytes("2B 87 FF FF FF 7F")},
      {"1.3.0007", hexBytes("2B 07")},
      // The first two arcs are whole numbers, combined as 40 x first + second.
      {"1.30.6", hexBytes("46 06")},
      {"0.0", hexBytes("00")},
      {"0.39", hexBytes("27")},
      {"1.39.1", hexBytes("4F 01")},
      {"2.47", hexBytes("7F")},
      {"2.48", hexBytes("81 00")},
      {"2.999.3", hexBytes("88 37 03")},
      {"2.2147483647", hexBytes("88 80 80 80 4F")},
      {"1..5", hexBytes("28 05")},
      // Each arc as atoi reads it: leading blanks, one sign, digits up to any other byte.
      {" 1.3", hexBytes("2B")},
      {"1.3.+6", hexBytes("2B 06")},
      {"1.3.-0", hexBytes("2B 00")},
      {"1.3.6\n", hexBytes("2B 06")},
      {"1.3 .6x.1", hexBytes("2B 06 01")},
      {"1.3." + dots, concat({hexBytes("2B"), ByteVector(251, 0x00)})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encodeOid(c.oid), c.bytes) << c.oid;
    EXPECT_TRUE(SNMPMessage::isOidWithinLimits(c.oid)) << c.oid;
    EXPECT_EQ(SNMPMessage::getVarbindOIDLength(c.oid), c.bytes.size()) << c.oid;
  }
}

TEST(SnmpEncoder, OidTextOutsideTheLimitsEncodesNothing) {
  const std::vector<std::string> cases = {
      "1.3." + std::string(252, '.'),  // 256 characters
      "1.3.6.1." + std::string(248, '1'),
      "",
      "1",
      "1.",
      ".",
      "..",
      ".1.3",
      " .1.3",
      "3.1",
      "10.1",
      "0.40",
      "1.40.1",
      "1.3.2147483648",
      "2.2147483648",
      "1.3.99999999999999999999",
      "1.3.a",
      "1.3. ",
      "1.3.-1",
      "1.3.-2147483647",
      "1.3.-2147483648",
      "1.3.-2147483649",
      "1.3.+-6",
      "1,3",
      std::string("1.3.6\0", 6),
  };
  for (const std::string& oid : cases) {
    EXPECT_FALSE(SNMPMessage::isOidWithinLimits(oid)) << oid;
    EXPECT_EQ(encodeOid(oid), ByteVector()) << oid;
    EXPECT_EQ(SNMPMessage::getVarbindOIDLength(oid), 0U) << oid;
  }
  EXPECT_EQ(SNMPMessage::getVarbindOIDLength(std::nullopt), 0U);
  EXPECT_TRUE(SNMPMessage::isOidWithinLimits("2.40"));
  EXPECT_TRUE(SNMPMessage::isOidWithinLimits("1.3." + std::string(251, '.')));
}

TEST(SnmpEncoder, LongestOidUsesTheLongLengthForm) {
  SNMPMessage msg;
  const std::string oid = "1.3." + std::string(251, '.');
  fillRequest(msg, "public", {oid});
  msg.writeSnmpMessageToData();
  const ByteVector content = concat({hexBytes("2B"), ByteVector(251, 0x00)});
  ASSERT_EQ(toVector(msg.data()), expectedRequest(textBytes("public"), {content}));
  EXPECT_EQ(msg.varbind().length, 258U);
  const ByteVector bytes = toVector(msg.data());
  const ByteVector varbindHeader = hexBytes("30 82 01 02 06 82 00 FC 2B");
  EXPECT_NE(std::search(bytes.begin(), bytes.end(), varbindHeader.begin(), varbindHeader.end()),
            bytes.end());
}

TEST(SnmpEncoder, CommunityLengths) {
  struct Case {
    std::size_t length;
    const char* header;
  };
  const Case cases[] = {
      {1, "04 01"},         {127, "04 7F"},       {128, "04 82 00 80"},
      {200, "04 82 00 C8"}, {255, "04 82 00 FF"},
  };
  for (const Case& c : cases) {
    const std::string community(c.length, 'c');
    SNMPMessage msg;
    fillRequest(msg, community, {"1.3.6.1.2.1.1.2.0"});
    msg.writeSnmpMessageToData();
    const ByteVector expected =
        expectedRequest(textBytes(community), {hexBytes("2B 06 01 02 01 01 02 00")});
    EXPECT_EQ(toVector(msg.data()), expected) << c.length;
    const ByteVector header = hexBytes(c.header);
    const std::size_t outer = expected[1] == 0x82 ? 4 : 2;
    EXPECT_TRUE(std::equal(header.begin(), header.end(), msg.data().subspan(outer + 3).begin()))
        << c.length;
  }
}

TEST(SnmpEncoder, LongMessageStartsWithTheTwoByteLength) {
  SNMPMessage msg;
  fillRequest(msg, std::string(128, 'c'), {"1.3.6.1.2.1.1.2.0"});
  msg.writeSnmpMessageToData();
  ASSERT_GE(msg.data().size(), 4U);
  EXPECT_EQ(msg.data()[1], 0x82);
  EXPECT_EQ(msg.data()[2] * 256U + msg.data()[3] + 4U, msg.data().size());
  EXPECT_TRUE(msg.isSnmpValid());
}

TEST(SnmpEncoder, CommunityGoesOutWholeUpToWhatAMessageHolds) {
  SNMPMessage msg;
  msg.setCommunityString("\xC3\xA4\xC3\xB6");
  EXPECT_EQ(msg.communityString().length, 4U);
  EXPECT_EQ(toVector(*msg.communityString().value()), hexBytes("C3 A4 C3 B6"));
  // The message's content (35 bytes besides the community) may reach 65535 bytes.
  for (const std::size_t length : {std::size_t{256}, std::size_t{65500}}) {
    const std::string community(length, 'c');
    fillRequest(msg, community, {"1.3.6.1.2.1.1.2.0"});
    msg.writeSnmpMessageToData();
    EXPECT_EQ(toVector(msg.data()),
              expectedRequest(textBytes(community), {hexBytes("2B 06 01 02 01 01 02 00")}))
        << length;
  }
  for (const std::size_t length : {std::size_t{65501}, std::size_t{70000}}) {
    fillRequest(msg, std::string(length, 'c'), {"1.3.6.1.2.1.1.2.0"});
    msg.writeSnmpMessageToData();
    EXPECT_TRUE(msg.data().empty()) << length;
  }
  // A short community after a long one is its own.
  fillRequest(msg, "public", {"1.3.6.1.2.1.1.2.0"});
  msg.writeSnmpMessageToData();
  EXPECT_EQ(toVector(msg.data()),
            expectedRequest(textBytes("public"), {hexBytes("2B 06 01 02 01 01 02 00")}));
}

TEST(SnmpEncoder, VarbindLists) {
  SNMPMessage msg;
  fillRequest(msg, "public", {});
  msg.writeSnmpMessageToData();
  EXPECT_EQ(toVector(msg.data()), expectedRequest(textBytes("public"), {}));
  EXPECT_EQ(msg.data()[msg.data().size() - 2], 0x30);
  EXPECT_EQ(msg.data()[msg.data().size() - 1], 0x00);

  fillRequest(msg, "public", {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.5.0", "2.999"});
  EXPECT_EQ(msg.varbindCount(), 3);
  msg.writeSnmpMessageToData();
  EXPECT_EQ(toVector(msg.data()),
            expectedRequest(textBytes("public"),
                            {hexBytes("2B 06 01 02 01 01 01 00"),
                             hexBytes("2B 06 01 02 01 01 05 00"), hexBytes("88 37")}));
  for (const SnmpVar& value : msg.varbindValues()) {
    EXPECT_EQ(value.type, 0x05);
    EXPECT_EQ(value.length, 0U);
    EXPECT_FALSE(value.value());
  }
  msg.clearVarbind();
  EXPECT_EQ(msg.varbindCount(), 0);
  EXPECT_TRUE(msg.varbindOids().empty());
}

TEST(SnmpEncoder, MessageBeyondTheTwoByteLengthIsDropped) {
  SNMPMessage msg;
  const std::string oid = "1.3." + std::string(251, '.');
  fillRequest(msg, "public", std::vector<std::string_view>(300, oid));
  msg.writeSnmpMessageToData();
  EXPECT_TRUE(msg.data().empty());
}

TEST(SnmpEncoder, ListLongerThanAnyValidMessageMakesNone) {
  SNMPMessage msg;
  fillRequest(msg, "public", std::vector<std::string_view>(SNMPMessage::kMaxVarbinds + 1, "1.3"));
  EXPECT_EQ(msg.varbindCount(), 0);
  msg.writeSnmpMessageToData();
  EXPECT_TRUE(msg.data().empty());
  fillRequest(msg, "public", {"1.3"});
  msg.writeSnmpMessageToData();
  EXPECT_FALSE(msg.data().empty());
}

TEST(SnmpEncoder, MissingContentLeavesDataEmpty) {
  SNMPMessage msg;
  fillRequest(msg, "public", {"1.3.6.1.2.1.1.2.0"});
  msg.setRequestId({}, 0x02, 2);
  msg.writeSnmpMessageToData();
  EXPECT_TRUE(msg.data().empty());
  EXPECT_FALSE(msg.isSnmpValid());

  SnmpVar var;
  msg.setSnmpVar(var, 0x04, 3, std::nullopt);
  EXPECT_EQ(msg.copyVar(var), -1);
  EXPECT_EQ(toVector(msg.data()), hexBytes("04 03"));
}

TEST(SnmpEncoder, CopyVarForms) {
  struct Case {
    std::uint8_t type;
    std::uint32_t length;
    bool withValue;
    std::int64_t result;
    const char* bytes;
  };
  const Case cases[] = {
      {0x02, 1, true, 0, "02 01 AB"},         {0x04, 0, false, 0, "04 00"},
      {0x05, 0, false, 0, "05 00"},           {0x30, 200, false, 0, "30 82 00 C8"},
      {0xA0, 127, false, 0, "A0 7F"},         {0xA1, 128, false, 0, "A1 82 00 80"},
      {0x30, 70000, false, 0, "30 82 11 70"}, {0x06, 2, false, -1, "06 02"},
  };
  for (const Case& c : cases) {
    SNMPMessage msg;
    SnmpVar var;
    if (c.withValue) {
      const std::array<std::uint8_t, 1> byte{0xAB};
      msg.setSnmpVar(var, c.type, 1, byte);
    }
    var.type = c.type;
    var.length = c.length;
    EXPECT_EQ(msg.copyVar(var), c.result);
    EXPECT_EQ(toVector(msg.data()), hexBytes(c.bytes)) << int{c.type};
  }
}

TEST(SnmpEncoder, SettingARecordReplacesOrKeepsItsBytes) {
  SNMPMessage msg;
  SnmpVar var;
  const std::array<std::uint8_t, 3> bytes{1, 2, 3};
  msg.setSnmpVar(var, 0x04, 2, bytes);
  EXPECT_EQ(toVector(*var.value()), hexBytes("01 02"));
  msg.setSnmpVar(var, 0x04, 5);
  EXPECT_EQ(var.length, 5U);
  EXPECT_EQ(toVector(*var.value()), hexBytes("01 02"));
  msg.setSnmpVar(var, 0x04, 0, std::nullopt);
  EXPECT_FALSE(var.value());
}

TEST(SnmpEncoder, TotalByteCount) {
  EXPECT_EQ(SNMPMessage::getTotalByteCount(0), 2);
  EXPECT_EQ(SNMPMessage::getTotalByteCount(127), 129);
  EXPECT_EQ(SNMPMessage::getTotalByteCount(128), 132);
  EXPECT_EQ(SNMPMessage::getTotalByteCount(-5), -3);
}

TEST(SnmpEncoder, ValidityReadsTheOuterLength) {
  SNMPMessage msg;
  EXPECT_FALSE(msg.isSnmpValid());
  msg.setData(hexBytes("30 01 00"));
  EXPECT_TRUE(msg.isSnmpValid());
  msg.setData(hexBytes("30 02 00"));
  EXPECT_FALSE(msg.isSnmpValid());
  msg.setData(hexBytes("30 82 00"));
  EXPECT_FALSE(msg.isSnmpValid());
  msg.setData(concat({hexBytes("30 82 00 80"), ByteVector(128, 0)}));
  EXPECT_TRUE(msg.isSnmpValid());
}

}  // namespace
}  // namespace printxpc
