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
MagicPacketBytes buildMagicPacket(std::optional<std::string_view> mac,
                                  std::optional<std::string_view> password);

// Sends the packet once by UDP with broadcast permission to port 2304 of the address
// (255.255.255.255 when absent or not convertible). 0 when all 108 bytes were handed
// to the platform, -1 otherwise.
std::int32_t SendMagicPacket(std::optional<std::string_view> address,
                             std::optional<std::string_view> mac,
                             std::optional<std::string_view> password);

}  // namespace printxpc
