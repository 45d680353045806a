// SNMPMessage's reading operations, one part of a message at a time.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
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

const ByteVector kWorkedExample = hexBytes(
    "30 31 02 01 00 04 06 70 75 62 6C 69 63 A2 24 02 02 12 34 02 01 00 02 01 00 30 18 30 16"
    "06 08 2B 06 01 02 01 01 02 00 06 0A 2B 06 01 04 01 81 FD 59 01 02");

const ByteVector kSysObjectIdName = hexBytes("2B 06 01 02 01 01 02 00");

// A GetResponse with the given varbinds (each the name's content and the value element).
ByteVector response(const ByteVector& community,
                    const std::vector<std::pair<ByteVector, ByteVector>>& varbinds) {
  ByteVector list;
  for (const auto& [name, value] : varbinds) {
    const ByteVector varbind = element(0x30, concat({element(0x06, name), value}));
    list.insert(list.end(), varbind.begin(), varbind.end());
  }
  const ByteVector pdu =
      element(0xA2, concat({hexBytes("02 02 12 34 02 01 00 02 01 00"), element(0x30, list)}));
  return element(0x30, concat({hexBytes("02 01 00"), element(0x04, community), pdu}));
}

struct Located {
  bool found = false;
  OidPositionAndLength record;
  std::uint64_t valueIndex = 0;
};

Located locate(std::span<const std::uint8_t> message) {
  Located located;
  located.found = SNMPMessage::extractOIDPositionAndLengthFromMessage(
      message, located.record.oidPositionIndex, located.record.oidLengthIndex,
      located.record.oidLengthValue);
  located.valueIndex = located.record.oidLengthIndex + located.record.oidLengthValue + 1;
  return located;
}

struct Text {
  std::optional<std::string> text;
  std::uint8_t type;
};

Text valueWithType(std::span<const std::uint8_t> message, std::uint64_t v) {
  std::uint8_t type = 0xEE;
  std::optional<std::string> text = SNMPMessage::extractValueStringFromMessage(message, v, type);
  return {std::move(text), type};
}

TEST(SnmpDecoder, WorkedExample) {
  const std::span<const std::uint8_t> message = kWorkedExample;
  const auto records = SNMPMessage::extractAllOIDPositionAndLengthFromMessage(message);
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(records[0], (OidPositionAndLength{29, 30, 8}));

  const Located located = locate(message);
  EXPECT_TRUE(located.found);
  EXPECT_EQ(located.record, (OidPositionAndLength{29, 30, 8}));
  EXPECT_EQ(located.valueIndex, 39U);

  EXPECT_EQ(SNMPMessage::convertOIDDataToString(message.subspan(31, 8)), "1.3.6.1.2.1.1.2.0");
  const Text value = valueWithType(message, 39);
  EXPECT_EQ(value.text, "1.3.6.1.4.1.32473.1.2");
  EXPECT_EQ(value.type, 6);
  EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(message, 39), "1.3.6.1.4.1.32473.1.2");
  const ByteVector valueBytes = hexBytes("2B 06 01 04 01 81 FD 59 01 02");
  EXPECT_EQ(SNMPMessage::extractValueDataFromMessage(message, 39), valueBytes);

  std::string sysID = "old";
  SNMPMessage::extractSysIDFromMsg(message, sysID);
  EXPECT_EQ(sysID, "1.3.6.1.4.1.32473.1.2");

  std::string contents;
  EXPECT_TRUE(SNMPMessage::extractStringFromMsg(message, "x", contents));
  EXPECT_EQ(contents, "1.3.6.1.4.1.32473.1.2");

  std::vector<std::uint8_t> data;
  EXPECT_TRUE(SNMPMessage::extractDataFromMsg(message, "x", data));
  EXPECT_EQ(data, valueBytes);

  std::string nextOID;
  contents.clear();
  EXPECT_TRUE(SNMPMessage::extractStringFromMsg(message, "x", nextOID, contents));
  EXPECT_EQ(nextOID, "1.3.6.1.2.1.1.2.0");
  EXPECT_EQ(contents, "1.3.6.1.4.1.32473.1.2");

  std::vector<std::string> oids{"kept"};
  std::vector<std::string> values{"kept"};
  SNMPMessage::extractAllStringsFromMsg(message, "x", oids, values);
  EXPECT_EQ(oids, (std::vector<std::string>{"kept", "1.3.6.1.2.1.1.2.0"}));
  EXPECT_EQ(values, (std::vector<std::string>{"kept", "1.3.6.1.4.1.32473.1.2"}));
}

// Value elements decoded at v = 1, with one more byte after them unless `trailing` is false.
TEST(SnmpDecoder, ValueForms) {
  struct Case {
    const char* bytes;
    bool trailing;
    std::optional<std::string> withType;
    std::uint8_t type;
    std::optional<std::string> withoutType;
  };
  const std::optional<std::string> absent;
  const Case cases[] = {
      {"02 01 FF", true, "-1", 2, "-1"},
      {"02 02 00 FF", true, "255", 2, "255"},
      {"02 04 FF FF FF 85", true, "-123", 2, "-123"},
      {"02 05 00 FF FF FF FF", true, "-1", 2, "-1"},
      {"02 04 7F FF FF FF", true, "2147483647", 2, "2147483647"},
      {"02 04 80 00 00 00", true, "-2147483648", 2, "-2147483648"},
      {"02 04 7F FF FF F8", true, "2147483640", 2, "2147483640"},
      {"02 04 80 00 00 01", true, "-2147483647", 2, "-2147483647"},
      // Beyond 32 bits an INTEGER is read by its low four bytes, as "02 05 00 FF FF FF FF" is.
      {"02 05 00 80 00 00 00", true, "-2147483648", 2, "-2147483648"},
      {"02 05 FF 7F FF FF FF", true, "2147483647", 2, "2147483647"},
      {"02 08 01", false, absent, 2, absent},
      {"41 05 00 FF FF FF FF", true, "4294967295", 5, ""},
      {"43 04 00 01 00 00", true, "65536", 5, ""},
      {"42 01 07", true, "7", 5, ""},
      {"47 02 01 00", true, "256", 5, ""},
      {"41 08 01", false, absent, 5, ""},
      {"40 04 C0 00 02 0A", true, "192.0.2.10", 5, "192.0.2.10"},
      {"40 00 C0 00 02 0A", true, "192.0.2.10", 5, "192.0.2.10"},
      {"40 04 C0 00 02", false, absent, 5, absent},
      {"04 06 00 00 5E 00 53 01", true, "00-00-5E-00-53-01", 4, "00-00-5E-00-53-01"},
      {"04 05 68 65 6C 6C 6F", true, "hello", 4, "hello"},
      {"04 06 AA 5E 60 C2 E1 9D", true, "    aa5e60c2e19d", 4, "    aa5e60c2e19d"},
      {"04 02 C3 A4", true, "\xC3\xA4", 4, "\xC3\xA4"},
      {"04 01 1F", true, "1F", 4, "1F"},
      {"04 00", true, "", 4, ""},
      {"04 00", false, absent, 5, absent},
      {"04 09 41", false, absent, 4, absent},
      {"05 00", true, absent, 5, absent},
      {"03 01 00", true, "", 5, ""},
      {"44 01 00", true, "", 5, ""},
      {"46 01 00", true, "", 5, ""},
      {"A2 01 00", true, "", 5, ""},
      {"06 03 2B 06 01", true, "1.3.6.1", 6, "1.3.6.1"},
      {"06 00", true, absent, 6, absent},
      {"06 05 2B 06 01 81 80", true, absent, 6, absent},
      {"06 05 2B 06 81 80 00", true, "1.3.6.16384", 6, "1.3.6.16384"},
      {"06 07 2B 06 8F FF FF FF 7F", true, "1.3.6.4294967295", 6, "1.3.6.4294967295"},
      // Subidentifiers are 32-bit: a group past that is malformed, as is an empty INTEGER.
      {"06 07 2B 06 90 80 80 80 00", true, absent, 6, absent},
      {"06 05 90 80 80 80 4F", true, absent, 6, absent},
      {"02 00", true, absent, 2, absent},
      // The first subidentifier is 40 x first + second, itself a base-128 group.
      {"06 02 01 02", true, "0.1.2", 6, "0.1.2"},
      {"06 02 81 01", true, "2.49", 6, "2.49"},
      {"06 03 55 04 03", true, "2.5.4.3", 6, "2.5.4.3"},
      {"06 02 88 37", true, "2.999", 6, "2.999"},
      {"06 01 27", true, "0.39", 6, "0.39"},
      {"06 01 28", true, "1.0", 6, "1.0"},
      {"06 01 4F", true, "1.39", 6, "1.39"},
      {"06 01 50", true, "2.0", 6, "2.0"},
      {"06 01 81", true, absent, 6, absent},
      // Long length forms are read; longer forms are not.
      {"02 81 01 05", true, "5", 2, "5"},
      {"04 82 00 02 68 69", true, "hi", 4, "hi"},
      {"04 83 00 00 02 68 69", true, absent, 4, absent},
      {"04 80 68 69 00 00", true, absent, 4, absent},
      {"43 81 02 01 00", true, "256", 5, ""},
      // The datagram ends inside a long-form length field.
      {"04 82 00", false, absent, 4, absent},
      {"02 82 01", false, absent, 2, absent},
      {"06 82 00", false, absent, 6, absent},
  };
  for (const Case& c : cases) {
    ByteVector message = concat({{0x00}, hexBytes(c.bytes)});
    if (c.trailing) {
      message.push_back(0x00);
    }
    const Text with = valueWithType(message, 1);
    EXPECT_EQ(with.text, c.withType) << c.bytes;
    EXPECT_EQ(with.type, c.type) << c.bytes;
    EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(message, 1), c.withoutType) << c.bytes;
  }
}

TEST(SnmpDecoder, IntegerWithoutContentIsNoNumber) {
  const ByteVector message = hexBytes("00 02 00 FF");
  const Text value = valueWithType(message, 1);
  EXPECT_FALSE(value.text);
  EXPECT_EQ(value.type, 2);
}

TEST(SnmpDecoder, NothingFoundInAnEmptyMessage) {
  const ByteVector empty;
  EXPECT_TRUE(SNMPMessage::extractAllOIDPositionAndLengthFromMessage(empty).empty());
  std::uint64_t position = 7, lengthIndex = 7, length = 7;
  EXPECT_FALSE(
      SNMPMessage::extractOIDPositionAndLengthFromMessage(empty, position, lengthIndex, length));
  EXPECT_EQ(position, 7U);
  EXPECT_EQ(lengthIndex, 7U);
  EXPECT_EQ(length, 7U);
  const Text value = valueWithType(empty, 1);
  EXPECT_FALSE(value.text);
  EXPECT_EQ(value.type, 5);
  EXPECT_FALSE(SNMPMessage::extractValueDataFromMessage(empty, 1));

  std::string sysID = "old";
  SNMPMessage::extractSysIDFromMsg(empty, sysID);
  EXPECT_EQ(sysID, "");
  std::string contents = "old";
  std::string nextOID = "old";
  EXPECT_FALSE(SNMPMessage::extractStringFromMsg(empty, "x", contents));
  EXPECT_FALSE(SNMPMessage::extractStringFromMsg(empty, "x", nextOID, contents));
  EXPECT_EQ(contents, "old");
  EXPECT_EQ(nextOID, "old");
}

TEST(SnmpDecoder, ValueIndexZeroOrBeyondTheMessageIsAbsent) {
  for (const std::uint64_t v : {std::uint64_t{0}, std::uint64_t{49}, std::uint64_t{50},
                                std::uint64_t{51}, std::numeric_limits<std::uint64_t>::max()}) {
    const Text value = valueWithType(kWorkedExample, v);
    EXPECT_FALSE(value.text) << v;
    EXPECT_EQ(value.type, 5) << v;
    EXPECT_FALSE(SNMPMessage::extractValueDataFromMessage(kWorkedExample, v)) << v;
  }
}

TEST(SnmpDecoder, MissingArgumentsMakeTheConvenienceOperationsDoNothing) {
  std::string text = "old";
  std::string nextOID = "old";
  std::vector<std::uint8_t> data{1};
  std::vector<std::string> oids;
  std::vector<std::string> values;
  SNMPMessage::extractSysIDFromMsg(std::nullopt, text);
  EXPECT_EQ(text, "old");
  EXPECT_FALSE(SNMPMessage::extractStringFromMsg(std::nullopt, "x", text));
  EXPECT_FALSE(SNMPMessage::extractStringFromMsg(kWorkedExample, std::nullopt, text));
  EXPECT_FALSE(SNMPMessage::extractDataFromMsg(kWorkedExample, std::nullopt, data));
  EXPECT_FALSE(SNMPMessage::extractStringFromMsg(kWorkedExample, std::nullopt, nextOID, text));
  SNMPMessage::extractAllStringsFromMsg(kWorkedExample, std::nullopt, oids, values);
  EXPECT_EQ(text, "old");
  EXPECT_EQ(nextOID, "old");
  EXPECT_EQ(data, std::vector<std::uint8_t>{1});
  EXPECT_TRUE(oids.empty());
}

TEST(SnmpDecoder, CommunityIsNotCompared) {
  std::string contents;
  EXPECT_TRUE(SNMPMessage::extractStringFromMsg(kWorkedExample, "", contents));
  EXPECT_EQ(contents, "1.3.6.1.4.1.32473.1.2");
}

TEST(SnmpDecoder, NoVarbindReadsTheValueAtPositionOne) {
  // No varbind: the outer length byte 04 is read as an OCTET STRING tag.
  const ByteVector message = hexBytes("30 04 02 41 42 00");
  EXPECT_FALSE(locate(message).found);
  std::string contents;
  EXPECT_TRUE(SNMPMessage::extractStringFromMsg(message, "x", contents));
  EXPECT_EQ(contents, "AB");
}

TEST(SnmpDecoder, PatternInsideTheCommunityComesFirst) {
  const ByteVector message =
      response(hexBytes("30 41 06 01 2B"), {{kSysObjectIdName, hexBytes("02 01 07")}});
  const auto records = SNMPMessage::extractAllOIDPositionAndLengthFromMessage(message);
  ASSERT_EQ(records.size(), 2U);
  EXPECT_EQ(records[0], (OidPositionAndLength{9, 10, 1}));
  const Located located = locate(message);
  EXPECT_EQ(located.record, records[0]);
}

TEST(SnmpDecoder, TwoVarbinds) {
  const ByteVector message = response(
      textBytes("public"), {{kSysObjectIdName, hexBytes("02 01 07")},
                            {hexBytes("2B 06 01 02 01 01 05 00"), hexBytes("04 02 70 31")}});
  EXPECT_EQ(SNMPMessage::extractAllOIDPositionAndLengthFromMessage(message).size(), 2U);
  std::string contents;
  EXPECT_TRUE(SNMPMessage::extractStringFromMsg(message, "x", contents));
  EXPECT_EQ(contents, "7");
  std::vector<std::string> oids;
  std::vector<std::string> values;
  SNMPMessage::extractAllStringsFromMsg(message, "x", oids, values);
  EXPECT_EQ(oids, (std::vector<std::string>{"1.3.6.1.2.1.1.2.0", "1.3.6.1.2.1.1.5.0"}));
  EXPECT_EQ(values, (std::vector<std::string>{"7", "p1"}));
}

TEST(SnmpDecoder, NullValueSetsTheNameAndFails) {
  const ByteVector message = response(textBytes("public"), {{kSysObjectIdName, hexBytes("05 00")}});
  std::string nextOID;
  std::string contents = "old";
  EXPECT_FALSE(SNMPMessage::extractStringFromMsg(message, "x", nextOID, contents));
  EXPECT_EQ(nextOID, "1.3.6.1.2.1.1.2.0");
  EXPECT_EQ(contents, "old");
  std::vector<std::uint8_t> data{9};
  EXPECT_TRUE(SNMPMessage::extractDataFromMsg(message, "x", data));
  EXPECT_TRUE(data.empty());
}

TEST(SnmpDecoder, ValueBytesOfAnyTag) {
  const ByteVector atEnd = hexBytes("00 04 00");
  EXPECT_EQ(SNMPMessage::extractValueDataFromMessage(atEnd, 1), ByteVector());
  const ByteVector truncated = hexBytes("00 04 05 01 02");
  EXPECT_FALSE(SNMPMessage::extractValueDataFromMessage(truncated, 1));
  const ByteVector lengthMissing = hexBytes("00 04");
  EXPECT_FALSE(SNMPMessage::extractValueDataFromMessage(lengthMissing, 1));
  const ByteVector longForm = concat({hexBytes("00 04 81 80"), ByteVector(128, 0x61)});
  EXPECT_EQ(SNMPMessage::extractValueDataFromMessage(longForm, 1), ByteVector(128, 0x61));
}

// A scan record whose name runs past the end gives an empty entry, not a read beyond it.
TEST(SnmpDecoder, NameRunningPastTheEnd) {
  const ByteVector message = hexBytes("30 05 06 09 2B 06 01");
  std::vector<std::string> oids;
  std::vector<std::string> values;
  SNMPMessage::extractAllStringsFromMsg(message, "x", oids, values);
  EXPECT_EQ(oids, std::vector<std::string>{""});
  EXPECT_EQ(values, std::vector<std::string>{""});
  std::string nextOID = "old";
  std::string contents;
  EXPECT_FALSE(SNMPMessage::extractStringFromMsg(message, "x", nextOID, contents));
  EXPECT_EQ(nextOID, "old");
}

// Varbinds of 128 content bytes or more, in the 0x81 and the 0x82 forms.
TEST(SnmpDecoder, LongVarbindIsFoundAndDecoded) {
  const std::string description(200, 'd');
  const ByteVector value = concat({hexBytes("04 81 C8"), textBytes(description)});
  const ByteVector name = hexBytes("2B 06 01 02 01 01 01 00");
  const ByteVector varbindContent = concat({element(0x06, name), value});
  for (const ByteVector& varbindHeader : {hexBytes("30 81 D5"), hexBytes("30 82 00 D5")}) {
    ASSERT_EQ(varbindContent.size(), 0xD5U);
    const ByteVector list = element(0x30, concat({varbindHeader, varbindContent}));
    const ByteVector message = element(
        0x30, concat({hexBytes("02 01 00 04 06 70 75 62 6C 69 63"),
                      element(0xA2, concat({hexBytes("02 02 12 34 02 01 00 02 01 00"), list}))}));
    const Located located = locate(message);
    ASSERT_TRUE(located.found);
    EXPECT_EQ(located.record.oidLengthValue, 8U);
    const Text text = valueWithType(message, located.valueIndex);
    EXPECT_EQ(text.text, description);
    EXPECT_EQ(text.type, 4);
  }
}

TEST(SnmpDecoder, LongerLengthFormsAreNotVarbinds) {
  for (const char* bytes : {"30 83 00 00 05 06 01 2B 05 00", "30 80 06 01 2B 05 00 00 00"}) {
    EXPECT_TRUE(SNMPMessage::extractAllOIDPositionAndLengthFromMessage(hexBytes(bytes)).empty())
        << bytes;
  }
}

// A name of 128 content bytes or more: the length index is the field's last byte, so
// the content and the value follow it as for a one-byte length.
TEST(SnmpDecoder, LongNameLength) {
  const ByteVector name = concat({hexBytes("2B"), ByteVector(129, 0x01)});
  for (const ByteVector& nameHeader : {hexBytes("06 81 82"), hexBytes("06 82 00 82")}) {
    const ByteVector varbind = element(0x30, concat({nameHeader, name, hexBytes("02 01 2A")}));
    const ByteVector full = concat({hexBytes("00 00"), varbind, hexBytes("00")});
    const Located located = locate(full);
    ASSERT_TRUE(located.found);
    EXPECT_EQ(located.record.oidPositionIndex, 6U);
    EXPECT_EQ(located.record.oidLengthIndex, 6U + nameHeader.size() - 1);
    EXPECT_EQ(located.record.oidLengthValue, 130U);
    EXPECT_EQ(valueWithType(full, located.valueIndex).text, "42");
    std::string nextOID;
    std::string contents;
    EXPECT_TRUE(SNMPMessage::extractStringFromMsg(full, "x", nextOID, contents));
    EXPECT_EQ(nextOID.substr(0, 6), "1.3.1.");
    EXPECT_EQ(contents, "42");
  }
}

// Positions beyond 255 are reported in full.
TEST(SnmpDecoder, PositionsBeyondAByte) {
  const ByteVector message =
      response(ByteVector(300, 'c'), {{kSysObjectIdName, hexBytes("02 01 07")}});
  const Located located = locate(message);
  ASSERT_TRUE(located.found);
  EXPECT_GT(located.record.oidPositionIndex, 300U);
  EXPECT_EQ(message[located.record.oidPositionIndex], 0x06);
  EXPECT_EQ(located.record.oidLengthIndex, located.record.oidPositionIndex + 1);
  const Text text = valueWithType(message, located.valueIndex);
  EXPECT_EQ(text.text, "7");
  EXPECT_EQ(text.type, 2);
}

TEST(SnmpDecoder, ObjectIdentifierText) {
  EXPECT_FALSE(SNMPMessage::convertOIDDataToString({}));
  EXPECT_EQ(SNMPMessage::convertOIDDataToString(hexBytes("2B")), "1.3");
  EXPECT_EQ(SNMPMessage::convertOIDDataToString(hexBytes("00")), "0.0");
  EXPECT_EQ(SNMPMessage::convertOIDDataToString(hexBytes("8F FF FF FF 7F")), "2.4294967215");
  EXPECT_FALSE(SNMPMessage::convertOIDDataToString(hexBytes("90 80 80 80 4F")));
  EXPECT_FALSE(SNMPMessage::convertOIDDataToString(hexBytes("2B 06 81")));
  const std::string longest = *SNMPMessage::convertOIDDataToString(ByteVector(200, 0x7F));
  EXPECT_EQ(longest.substr(0, 12), "2.47.127.127");
}

// Texts up to the inline capacity and beyond it, through copies and moves.
TEST(SnmpText, KeepsShortAndLongTexts) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, SnmpText::kInlineCapacity,
                                 SnmpText::kInlineCapacity + 1, std::size_t{1000}}) {
    const std::string expected(size, 'x');
    SnmpText text(expected);
    EXPECT_EQ(text.view(), expected);
    SnmpText copy = text;
    EXPECT_EQ(copy, expected);
    SnmpText moved = std::move(copy);
    EXPECT_EQ(moved.str(), expected);
    SnmpText assigned(std::string_view("old"));
    assigned = moved;
    EXPECT_EQ(std::string(assigned), expected);
    assigned = SnmpText(std::string_view("new"));
    EXPECT_EQ(assigned, "new");
  }
}

TEST(SnmpText, ReadsAsAStringWhereOneIsTaken) {
  const std::optional<SnmpText> decoded =
      SNMPMessage::extractValueStringFromMessage(hexBytes("00 04 02 68 69 00"), 1);
  const std::optional<std::string> asString = decoded;
  EXPECT_EQ(asString, "hi");
  const std::string_view view = *decoded;
  EXPECT_EQ(view, "hi");
}

// Values whose text does not fit inline: long OCTET STRINGs in every form and long OIDs.
TEST(SnmpDecoder, LongTexts) {
  const ByteVector control = concat({hexBytes("00 04 1E"), ByteVector(30, 0x01), hexBytes("00")});
  std::string hex;
  for (int k = 0; k < 30; ++k) hex += k == 0 ? "01" : "-01";
  EXPECT_EQ(valueWithType(control, 1).text, hex);

  const ByteVector binary = concat({hexBytes("00 04 40"), ByteVector(64, 0xFF), hexBytes("00")});
  EXPECT_EQ(valueWithType(binary, 1).text, "    " + std::string(128, 'f'));

  const ByteVector oid = concat({hexBytes("00 06 30 2B"), ByteVector(47, 0x7F), hexBytes("00")});
  std::string dotted = "1.3";
  for (int k = 0; k < 47; ++k) dotted += ".127";
  EXPECT_EQ(valueWithType(oid, 1).text, dotted);
}

}  // namespace
}  // namespace printxpc
