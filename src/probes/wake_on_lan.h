// Wake-on-LAN magic packet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace printxpc {

inline constexpr std::size_t kMagicPacketSize = 108;
inline constexpr std::uint16_t kMagicPacketPort = 2304;

using MagicPacketBytes = std::array<std::uint8_t, kMagicPacketSize>;

// Six 0xFF, sixteen copies of the MAC address, the six-byte password field.
//
// MAC address: exactly six ":"-separated groups, each read as "%x" reads it (leading white
// space, an optional sign, an optional 0x prefix, hexadecimal digits up to the first other
// character) and kept to its low 8 bits; a group without a number gives 0, and so does a
// group longer than 9 bytes, which does not fit the 10-byte conversion buffer. Any other
// number of groups, or an absent MAC address, gives 00:00:00:00:00:00.
//
// Password: used when it is valid UTF-8 of 1 to 6 UTF-16 code units; then its first n bytes
// (n = that count) of UTF-8 fill the field from the start, the rest stays 0x00. Otherwise
// the field is six 0x00.
MagicPacketBytes buildMagicPacket(std::optional<std::string_view> mac,
                                  std::optional<std::string_view> password);

// Sends the packet once by UDP with broadcast permission to port 2304 of the address
// (255.255.255.255 when absent or not convertible). 0 when all 108 bytes were handed
// to the platform, -1 otherwise.
std::int32_t SendMagicPacket(std::optional<std::string_view> address,
                             std::optional<std::string_view> mac,
                             std::optional<std::string_view> password);

}  // namespace printxpc
