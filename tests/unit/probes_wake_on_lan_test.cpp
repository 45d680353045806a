#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "probes/ipv4_address.h"
#include "probes/wake_on_lan.h"
#include "protocol/requests.h"

namespace printxpc {
namespace {

using Six = std::array<std::uint8_t, 6>;

// The layout written out independently of the builder: sync stream, 16 MACs, password.
MagicPacketBytes expectedPacket(const Six& mac, const Six& password) {
  MagicPacketBytes packet{};
  std::size_t at = 0;
  for (int i = 0; i < 6; ++i) packet[at++] = 0xFF;
  for (int copy = 0; copy < 16; ++copy) {
    for (auto byte : mac) packet[at++] = byte;
  }
  for (auto byte : password) packet[at++] = byte;
  return packet;
}

MagicPacketBytes packetForRequest(const std::string& request) {
  const auto parsed = requests::parseMagicPacket(request);
  EXPECT_TRUE(parsed.has_value()) << request;
  if (!parsed) return {};
  return buildMagicPacket(parsed->mac, parsed->password);
}

std::string request(const std::string& mac, const std::string& password) {
  return "127.0.0.1:ARGipAddressStr:" + mac + ":ARGmacAddressStr:" + password + ":ARGpasswordStr:";
}

constexpr Six kZero{};

TEST(MagicPacket, ExactBytesOfTheOrdinaryRequest) {
  const auto packet = packetForRequest(request("00:11:22:33:44:55", "NULL"));
  ASSERT_EQ(packet.size(), 108u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(packet[i], 0xFF) << i;
  for (std::size_t copy = 0; copy < 16; ++copy) {
    for (std::size_t i = 0; i < 6; ++i) {
      EXPECT_EQ(packet[6 + copy * 6 + i], i * 0x11) << "copy " << copy << " byte " << i;
    }
  }
  for (std::size_t i = 102; i < 108; ++i) EXPECT_EQ(packet[i], 0x00) << i;
}

struct MacCase {
  const char* name;
  std::string mac;
  Six expected;
};

class MacField : public ::testing::TestWithParam<MacCase> {};

TEST_P(MacField, GivesTheseSixBytes) {
  const auto& c = GetParam();
  EXPECT_EQ(packetForRequest(request(c.mac, "NULL")), expectedPacket(c.expected, kZero));
}

INSTANTIATE_TEST_SUITE_P(
    Groups, MacField,
    ::testing::Values(
        MacCase{"Plain", "00:11:22:33:44:55", {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
        MacCase{"UpperAndLowerCase", "aA:Bb:cC:dd:EE:ff", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
        MacCase{"TrailingColonIsSevenFields", "00:11:22:33:44:55:", kZero},
        MacCase{"FiveFields", "00:11:22:33:44", kZero},
        MacCase{"DashSeparatorIsOneField", "00-11-22-33-44-55", kZero},
        MacCase{"LowerCaseNullIsOneField", "null", kZero},
        MacCase{"UpperCaseNullIsAbsent", "NULL", kZero}, MacCase{"Empty", "", kZero},
        MacCase{"SixEmptyGroups", ":::::", kZero},
        MacCase{"LowEightBitsAndPrefix",
                "1ff:0x1a:0X2b:ABC:100:7",
                {0xFF, 0x1A, 0x2B, 0xBC, 0x00, 0x07}},
        MacCase{
            "LeadingWhiteSpaceAndSigns", " 1:\t2:+3:-1:-0x2:\n\v\f\r4", {1, 2, 3, 0xFF, 0xFE, 4}},
        MacCase{"StopsAtFirstNonHexDigit", "1g:ag:0xzz:x1:--1:12 3", {0x01, 0x0A, 0, 0, 0, 0x12}},
        MacCase{"MalformedGroupGivesZero", "zz:11:22:33:44:55", {0, 0x11, 0x22, 0x33, 0x44, 0x55}},
        MacCase{"NineByteGroupFits", "12345678a:0:0:0:0:0", {0x8A, 0, 0, 0, 0, 0}},
        MacCase{"TenByteGroupDoesNotFit", "123456789a:1:2:3:4:5", {0, 1, 2, 3, 4, 5}},
        MacCase{"NinePaddedBytesFit", "        f:1:2:3:4:5", {0x0F, 1, 2, 3, 4, 5}},
        MacCase{"NonAsciiStopsTheNumber", "1\xC3\xA9:2:3:4:5:6", {1, 2, 3, 4, 5, 6}},
        MacCase{"EmbeddedNulEndsTheGroup",
                std::string("1\0"
                            "f:2:3:4:5:6",
                            13),
                {1, 2, 3, 4, 5, 6}}),
    [](const auto& info) { return std::string(info.param.name); });

struct PasswordCase {
  const char* name;
  std::string password;
  Six expected;
};

class PasswordField : public ::testing::TestWithParam<PasswordCase> {};

TEST_P(PasswordField, FillsBytes102To107) {
  const auto& c = GetParam();
  const Six mac{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(packetForRequest(request("1:2:3:4:5:6", c.password)), expectedPacket(mac, c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, PasswordField,
    ::testing::Values(
        PasswordCase{"Three", "abc", {'a', 'b', 'c', 0, 0, 0}},
        PasswordCase{"Six", "abcdef", {'a', 'b', 'c', 'd', 'e', 'f'}},
        PasswordCase{"SevenIsLeftOut", "abcdefg", kZero},
        PasswordCase{"One", "x", {'x', 0, 0, 0, 0, 0}}, PasswordCase{"EmptyIsLeftOut", "", kZero},
        PasswordCase{"UpperCaseNullIsAbsent", "NULL", kZero},
        PasswordCase{"LowerCaseNullIsText", "null", {'n', 'u', 'l', 'l', 0, 0}},
        // UTF-16 length decides how many UTF-8 bytes are copied.
        PasswordCase{"TwoByteCharacterCopiesOneByte", "\xC3\xA9", {0xC3, 0, 0, 0, 0, 0}},
        PasswordCase{
            "ThreeTwoByteCharacters", "\xC3\xA9\xC3\xA9\xC3\xA9", {0xC3, 0xA9, 0xC3, 0, 0, 0}},
        PasswordCase{"SurrogatePairCountsTwo", "\xF0\x9F\x98\x80", {0xF0, 0x9F, 0, 0, 0, 0}},
        PasswordCase{"SixUnitsWithAPair",
                     "a\xF0\x9F\x98\x80"
                     "bcd",
                     {'a', 0xF0, 0x9F, 0x98, 0x80, 'b'}},
        PasswordCase{"FourPairsAreEightUnits",
                     "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80", kZero},
        PasswordCase{"InvalidUtf8IsLeftOut", "a\xFF", kZero}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MagicPacket, MarkersAreFoundWholeBetweenTheMacColons) {
  const auto parsed = requests::parseMagicPacket(
      "10.0.0.9:ARGipAddressStr:0a:0b:0c:0d:0e:0f:ARGmacAddressStr:pw:ARGpasswordStr:ignored");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->address, "10.0.0.9");
  EXPECT_EQ(buildMagicPacket(parsed->mac, parsed->password),
            expectedPacket({10, 11, 12, 13, 14, 15}, {'p', 'w', 0, 0, 0, 0}));
}

TEST(MagicPacket, AbsentFieldsGiveZeroMacAndPassword) {
  EXPECT_EQ(buildMagicPacket(std::nullopt, std::nullopt), expectedPacket(kZero, kZero));
}

struct AddressCase {
  const char* name;
  std::string text;
  std::uint32_t expectedHostOrder;
};

class AddressText : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressText, ConvertsAsTheDottedQuadConversion) {
  const auto& c = GetParam();
  EXPECT_EQ(ntohl(dottedQuadAddress(c.text)), c.expectedHostOrder);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AddressText,
    ::testing::Values(
        AddressCase{"Loopback", "127.0.0.1", 0x7F000001},
        AddressCase{"ShortForm", "127.1", 0x7F000001},
        AddressCase{"Private", "192.168.1.20", 0xC0A80114}, AddressCase{"Empty", "", 0xFFFFFFFF},
        AddressCase{"LowerCaseNull", "null", 0xFFFFFFFF},
        AddressCase{"HostName", "printer.local", 0xFFFFFFFF},
        AddressCase{"OctetTooLarge", "192.168.1.300", 0xFFFFFFFF},
        AddressCase{"LimitedBroadcast", "255.255.255.255", 0xFFFFFFFF},
        AddressCase{"EmbeddedNulEndsTheText", std::string("10.0.0.1\0x", 10), 0x0A000001},
        AddressCase{"FillsTheBuffer", "10.0.0.1" + std::string(246, ' '), 0x0A000001},
        AddressCase{"LongerThanTheBuffer", "10.0.0.1" + std::string(247, ' '), 0xFFFFFFFF}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace printxpc
