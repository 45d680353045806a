#include "probes/wake_on_lan.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "common/unique_fd.h"
#include "probes/ipv4_address.h"
#include "protocol/text.h"

namespace printxpc {
namespace {

constexpr std::size_t kSyncLength = 6;
constexpr std::size_t kMacLength = 6;
constexpr std::size_t kMacCopies = 16;
constexpr std::size_t kPasswordOffset = kSyncLength + kMacLength * kMacCopies;
constexpr std::size_t kPasswordLength = 6;
static_assert(kPasswordOffset + kPasswordLength == kMagicPacketSize);

// A MAC group is converted into a zero-terminated 10-byte buffer before it is read.
constexpr std::size_t kMacGroupCapacity = 9;

using MacBytes = std::array<std::uint8_t, kMacLength>;
using PasswordBytes = std::array<std::uint8_t, kPasswordLength>;

// White space as "%x" skips it in the C locale.
bool isScanSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::optional<std::uint8_t> hexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return static_cast<std::uint8_t>(c - '0');
  }
  if (c >= 'a' && c <= 'f') {
    return static_cast<std::uint8_t>(c - 'a' + 10);
  }
  if (c >= 'A' && c <= 'F') {
    return static_cast<std::uint8_t>(c - 'A' + 10);
  }
  return std::nullopt;
}

// The low 8 bits of the group read as "%x" reads it, starting from 0.
std::uint8_t scanMacGroup(std::string_view group) {
  if (group.size() > kMacGroupCapacity) {
    return 0;  // does not fit the conversion buffer, which stays zero-filled
  }
  group = group.substr(0, group.find('\0'));  // the buffer ends at the first NUL

  std::size_t at = 0;
  while (at < group.size() && isScanSpace(group[at])) {
    ++at;
  }
  bool negative = false;
  if (at < group.size() && (group[at] == '+' || group[at] == '-')) {
    negative = group[at] == '-';
    ++at;
  }
  if (group.substr(at, 2) == "0x" || group.substr(at, 2) == "0X") {
    at += 2;
  }
  std::uint64_t value = 0;  // nine digits at most: no overflow
  for (; at < group.size(); ++at) {
    const auto digit = hexDigitValue(group[at]);
    if (!digit) {
      break;
    }
    value = value * 16 + *digit;
  }
  if (negative) {
    value = 0 - value;  // "%x" negates in unsigned arithmetic
  }
  return static_cast<std::uint8_t>(value & 0xFF);
}

MacBytes macBytes(std::optional<std::string_view> mac) {
  MacBytes bytes{};
  if (!mac) {
    return bytes;
  }
  const auto groupCount = static_cast<std::size_t>(std::count(mac->begin(), mac->end(), ':')) + 1;
  if (groupCount != kMacLength) {
    return bytes;
  }
  std::string_view rest = *mac;
  for (auto& byte : bytes) {
    const std::size_t end = std::min(rest.find(':'), rest.size());
    byte = scanMacGroup(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return bytes;
}

PasswordBytes passwordBytes(std::optional<std::string_view> password) {
  PasswordBytes bytes{};
  if (!password || !text::isValidUtf8(*password)) {
    return bytes;
  }
  // The length counts UTF-16 code units, but the bytes copied are UTF-8: a non-ASCII
  // password may end inside a character.
  const std::size_t length = text::utf16Length(*password);
  if (length < 1 || length > kPasswordLength) {
    return bytes;
  }
  std::transform(password->begin(), password->begin() + static_cast<std::ptrdiff_t>(length),
                 bytes.begin(), [](char c) { return static_cast<std::uint8_t>(c); });
  return bytes;
}

}  // namespace

MagicPacketBytes buildMagicPacket(std::optional<std::string_view> mac,
                                  std::optional<std::string_view> password) {
  MagicPacketBytes packet{};
  std::fill_n(packet.begin(), kSyncLength, std::uint8_t{0xFF});
  const MacBytes target = macBytes(mac);
  for (std::size_t copy = 0; copy < kMacCopies; ++copy) {
    std::copy(target.begin(), target.end(),
              packet.begin() + static_cast<std::ptrdiff_t>(kSyncLength + copy * kMacLength));
  }
  const PasswordBytes secret = passwordBytes(password);
  std::copy(secret.begin(), secret.end(),
            packet.begin() + static_cast<std::ptrdiff_t>(kPasswordOffset));
  return packet;
}

std::int32_t SendMagicPacket(std::optional<std::string_view> address,
                             std::optional<std::string_view> mac,
                             std::optional<std::string_view> password) {
  const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket) {
    return -1;
  }
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(kMagicPacketPort);
  // Broadcast is the intended default: a text that does not convert gives the all-ones
  // address as well.
  destination.sin_addr.s_addr = address ? dottedQuadAddress(*address) : htonl(INADDR_BROADCAST);

  const int permission = 1;
  if (::setsockopt(socket.get(), SOL_SOCKET, SO_BROADCAST, &permission, sizeof permission) != 0) {
    return -1;
  }
  const MagicPacketBytes packet = buildMagicPacket(mac, password);
  const ssize_t sent =
      ::sendto(socket.get(), packet.data(), packet.size(), 0,
               reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  // A refused or partial send is a packet that did not go out.
  return sent == static_cast<ssize_t>(packet.size()) ? 0 : -1;
}

}  // namespace printxpc
