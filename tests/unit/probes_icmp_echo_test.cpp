#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "probes/icmp_echo.h"
#include "protocol/requests.h"

namespace printxpc {
namespace {

std::vector<std::uint8_t> fromHex(std::string_view hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

// The checksum as it lands in a packet: stored as a host-order value, compared as bytes.
std::string storedChecksum(std::span<const std::uint8_t> bytes) {
  const std::uint16_t checksum = icmpChecksum(bytes);
  std::uint8_t stored[2];
  std::memcpy(stored, &checksum, sizeof checksum);
  char text[5];
  std::snprintf(text, sizeof text, "%02x%02x", stored[0], stored[1]);
  return text;
}

struct ChecksumCase {
  const char* name;
  const char* bytes;
  const char* stored;
};

class Checksum : public ::testing::TestWithParam<ChecksumCase> {};

TEST_P(Checksum, StoresTheInternetChecksum) {
  const auto& c = GetParam();
  EXPECT_EQ(storedChecksum(fromHex(c.bytes)), c.stored);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Checksum,
    ::testing::Values(
        // RFC 1071 section 3: sum ddf2, checksum 220d.
        ChecksumCase{"Rfc1071Example", "0001f203f4f5f6f7", "220d"},
        ChecksumCase{"OddLengthPadsWithZeroAfter", "0001f203f4", "19fa"},
        ChecksumCase{"OneByte", "01", "feff"}, ChecksumCase{"OneByteAllOnes", "ff", "00ff"},
        ChecksumCase{"Empty", "", "ffff"},
        ChecksumCase{"Ipv4HeaderExample", "4500003c1c46400040060000ac100a63ac100a0c", "b1e6"},
        ChecksumCase{"EchoRequest", "0800000000000000000000000000000000000000000000000000000000",
                     "f7ff"},
        ChecksumCase{"CarryAcrossManyWords", "ffffffffffffffffffff", "0000"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Checksum, DataWithItsChecksumVerifiesToZero) {
  for (std::size_t length : {2u, 4u, 28u, 64u, 1000u, 2000u}) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
    bytes[0] = bytes[1] = 0;
    const std::uint16_t checksum = icmpChecksum(bytes);
    std::memcpy(bytes.data(), &checksum, sizeof checksum);
    EXPECT_EQ(icmpChecksum(bytes), 0) << length;
  }
}

TEST(Checksum, FoldsEveryCarryOfALongRun) {
  // 70000 words of 0xFFFF overflow 32 bits of sum; folding must still end in one's complement 0.
  const std::vector<std::uint8_t> ones(140000, 0xFF);
  EXPECT_EQ(icmpChecksum(ones), 0);
}

TEST(EchoRequest, IsTheFixedTwentyEightBytes) {
  const EchoRequestBytes request = buildEchoRequest();
  std::vector<std::uint8_t> expected(28, 0);
  expected[0] = 0x08;
  expected[2] = 0xF7;
  expected[3] = 0xFF;
  EXPECT_EQ(std::vector<std::uint8_t>(request.begin(), request.end()), expected);
  EXPECT_EQ(icmpChecksum(request), 0);
}

struct DestinationCase {
  const char* name;
  std::optional<std::string> address;
  std::optional<std::uint32_t> expectedHostOrder;
};

class Destination : public ::testing::TestWithParam<DestinationCase> {};

TEST_P(Destination, IsProbedOnlyWhenItConverts) {
  const auto& c = GetParam();
  const auto destination =
      echoDestination(c.address ? std::optional<std::string_view>(*c.address) : std::nullopt);
  ASSERT_EQ(destination.has_value(), c.expectedHostOrder.has_value());
  if (destination) {
    EXPECT_EQ(ntohl(*destination), *c.expectedHostOrder);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, Destination,
    ::testing::Values(DestinationCase{"Loopback", "127.0.0.1", 0x7F000001},
                      DestinationCase{"ShortForm", "127.1", 0x7F000001},
                      DestinationCase{"Printer", "192.168.1.20", 0xC0A80114},
                      DestinationCase{"Absent", std::nullopt, std::nullopt},
                      DestinationCase{"Empty", "", std::nullopt},
                      DestinationCase{"HostName", "printer.local", std::nullopt},
                      DestinationCase{"Typo", "192.168.1.300", std::nullopt},
                      DestinationCase{"FiveParts", "1.2.3.4.5", std::nullopt},
                      DestinationCase{"LowerCaseNull", "null", std::nullopt},
                      DestinationCase{"LimitedBroadcast", "255.255.255.255", std::nullopt},
                      DestinationCase{"LimitedBroadcastAsOneNumber", "4294967295", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EchoRequestString, CutsAddressAndTimeout) {
  struct Case {
    const char* request;
    std::optional<std::string_view> address;
    std::int64_t timeoutMs;
  };
  const Case cases[] = {
      {"127.0.0.1:sIpAddr:END1500", "127.0.0.1", 1500},
      {":sIpAddr:END1500", "", 1500},
      {"10.0.0.1:sIpAddr:ENDabc", "10.0.0.1", 0},
      {"10.0.0.1:sIpAddr:END  -20ms", "10.0.0.1", -20},
      {"10.0.0.1:sIpAddr", std::nullopt, 0},
  };
  for (const auto& c : cases) {
    const auto parsed = requests::parseEcho(c.request);
    ASSERT_EQ(parsed.has_value(), c.address.has_value()) << c.request;
    if (parsed) {
      EXPECT_EQ(parsed->address, *c.address) << c.request;
      EXPECT_EQ(parsed->timeoutMs, c.timeoutMs) << c.request;
    }
  }
}

}  // namespace
}  // namespace printxpc
