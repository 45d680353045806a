#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "probes/wake_on_lan.h"
#include "probes_netns.h"
#include "protocol/requests.h"
#include "support/test_support.h"

namespace printxpc {
namespace {

using namespace std::chrono_literals;
using test_support::CapturedVethPair;

constexpr std::uint8_t kUdp = 17;

// What the service does with a request: parse it, send, reply with the result.
std::int32_t sendRequest(const std::string& request) {
  const auto parsed = requests::parseMagicPacket(request);
  if (!parsed) return -1;
  return SendMagicPacket(parsed->address, parsed->mac, parsed->password);
}

class MagicPacketReceiver {
 public:
  MagicPacketReceiver() : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(2304);
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = socket_ &&
          ::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0;
  }
  bool ok() const { return ok_; }

  std::optional<std::vector<std::uint8_t>> next(std::chrono::milliseconds wait = 1000ms) {
    pollfd ready{socket_.get(), POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
    std::vector<std::uint8_t> datagram(2000);
    const ssize_t received = ::recv(socket_.get(), datagram.data(), datagram.size(), 0);
    if (received < 0) return std::nullopt;
    datagram.resize(static_cast<std::size_t>(received));
    return datagram;
  }

 private:
  UniqueFd socket_;
  bool ok_ = false;
};

std::vector<std::uint8_t> packetOf(const std::string& macHex, const std::string& passwordHex) {
  std::vector<std::uint8_t> packet(6, 0xFF);
  auto bytes = [](const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
  };
  const auto mac = bytes(macHex);
  for (int copy = 0; copy < 16; ++copy) packet.insert(packet.end(), mac.begin(), mac.end());
  const auto password = bytes(passwordHex);
  packet.insert(packet.end(), password.begin(), password.end());
  return packet;
}

struct LoopbackCase {
  const char* name;
  const char* mac;
  const char* password;
  const char* macHex;
  const char* passwordHex;
};

class WakeOnLanLoopback : public ::testing::TestWithParam<LoopbackCase> {};

TEST_P(WakeOnLanLoopback, DeliversTheExactBytesToPort2304) {
  PRINTXPC_REQUIRE_NETNS();
  MagicPacketReceiver receiver;
  ASSERT_TRUE(receiver.ok());
  const auto& c = GetParam();
  const std::string request = std::string("127.0.0.1:ARGipAddressStr:") + c.mac +
                              ":ARGmacAddressStr:" + c.password + ":ARGpasswordStr:";
  EXPECT_EQ(sendRequest(request), 0);
  const auto datagram = receiver.next();
  ASSERT_TRUE(datagram);
  EXPECT_EQ(*datagram, packetOf(c.macHex, c.passwordHex));
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, WakeOnLanLoopback,
    ::testing::Values(
        LoopbackCase{"Ordinary", "00:11:22:33:44:55", "NULL", "001122334455", "000000000000"},
        LoopbackCase{"SevenFields", "00:11:22:33:44:55:", "NULL", "000000000000", "000000000000"},
        LoopbackCase{"DashSeparators", "00-11-22-33-44-55", "NULL", "000000000000", "000000000000"},
        LoopbackCase{"Group1ff", "1ff:0x1a:2:3:4:5", "NULL", "ff1a02030405", "000000000000"},
        LoopbackCase{"PasswordOfThree", "1:2:3:4:5:6", "abc", "010203040506", "616263000000"},
        LoopbackCase{"PasswordOfSix", "1:2:3:4:5:6", "abcdef", "010203040506", "616263646566"},
        LoopbackCase{"PasswordOfSeven", "1:2:3:4:5:6", "abcdefg", "010203040506", "000000000000"},
        LoopbackCase{"LowerCaseNullMac", "null", "NULL", "000000000000", "000000000000"},
        LoopbackCase{"LowerCaseNullPassword", "1:2:3:4:5:6", "null", "010203040506",
                     "6e756c6c0000"}),
    [](const auto& info) { return std::string(info.param.name); });

struct BroadcastCase {
  const char* name;
  std::string request;
  const char* macHex = "0a0b0c0d0e0f";
  const char* passwordHex = "787900000000";
};

class WakeOnLanBroadcast : public ::testing::TestWithParam<BroadcastCase> {};

TEST_P(WakeOnLanBroadcast, GoesToTheLimitedBroadcastAddress) {
  PRINTXPC_REQUIRE_NETNS();
  CapturedVethPair veth;
  ASSERT_TRUE(veth.ok());
  const auto& c = GetParam();

  EXPECT_EQ(sendRequest(c.request), 0);

  const auto packets = veth.capture.collect(kUdp, 300ms);
  ASSERT_EQ(packets.size(), 1u);
  const auto& packet = packets.front();
  EXPECT_EQ(packet.destination(), "255.255.255.255");
  ASSERT_EQ(packet.bytes.size(), 20u + 8u + 108u);
  const auto udp = packet.payload();
  EXPECT_EQ(udp[2], 0x09);  // destination port 2304
  EXPECT_EQ(udp[3], 0x00);
  const std::vector<std::uint8_t> payload(udp.begin() + 8, udp.end());
  EXPECT_EQ(payload, packetOf(c.macHex, c.passwordHex));
}

const std::string kTail = "0a:0b:0c:0d:0e:0f:ARGmacAddressStr:xy:ARGpasswordStr:";

INSTANTIATE_TEST_SUITE_P(
    Defaults, WakeOnLanBroadcast,
    ::testing::Values(BroadcastCase{"NullAddress", "NULL:ARGipAddressStr:" + kTail},
                      BroadcastCase{"EmptyAddress", ":ARGipAddressStr:" + kTail},
                      BroadcastCase{"LowerCaseNullAddress", "null:ARGipAddressStr:" + kTail},
                      BroadcastCase{"HostName", "printer.local:ARGipAddressStr:" + kTail},
                      BroadcastCase{"TooLongForTheBuffer", "10.9.0.2" + std::string(250, ' ') +
                                                               ":ARGipAddressStr:" + kTail},
                      BroadcastCase{"NoMarkersAtAll", "no markers", "000000000000",
                                    "000000000000"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WakeOnLan, RefusedSendIsReportedAsFailure) {
  PRINTXPC_REQUIRE_NETNS();
  // Only loopback exists here: neither address has a route, so the platform refuses.
  EXPECT_EQ(SendMagicPacket("10.20.30.40", "1:2:3:4:5:6", std::nullopt), -1);
  EXPECT_EQ(SendMagicPacket(std::nullopt, "1:2:3:4:5:6", std::nullopt), -1);
  // A malformed MAC address is still sent, and reported as sent.
  MagicPacketReceiver receiver;
  ASSERT_TRUE(receiver.ok());
  EXPECT_EQ(SendMagicPacket("127.0.0.1", "00-11-22-33-44-55", std::nullopt), 0);
  EXPECT_TRUE(receiver.next());
}

TEST(WakeOnLan, NoSocketGivesFailure) {
  PRINTXPC_REQUIRE_NETNS();
  MagicPacketReceiver receiver;
  ASSERT_TRUE(receiver.ok());
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  // The lowest free descriptor becomes the limit: the next socket cannot be created.
  const int lowestFree = ::dup(0);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  const std::int32_t result = SendMagicPacket("127.0.0.1", "1:2:3:4:5:6", std::nullopt);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(result, -1);
  EXPECT_FALSE(receiver.next(200ms));
}

}  // namespace
}  // namespace printxpc
