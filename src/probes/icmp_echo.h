// ICMP echo probe over the unprivileged ICMP datagram socket.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace printxpc {

// RFC 1071 Internet checksum of the bytes, words loaded in host byte order, ready to be
// stored as a host-order 16-bit value. An empty run gives 0xFFFF.
std::uint16_t icmpChecksum(std::span<const std::uint8_t> bytes);

// True when the first datagram received within the timeout is an ICMP echo reply.
bool sendEchoAndRecvReply(std::optional<std::string_view> address, std::int64_t timeoutMs);

}  // namespace printxpc
