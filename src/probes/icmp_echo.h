// ICMP echo probe over the unprivileged ICMP datagram socket.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "protocol/time_limits.h"

namespace printxpc {

// RFC 1071 Internet checksum of the bytes, words loaded in host byte order, ready to be
// stored as a host-order 16-bit value. An empty run gives 0xFFFF.
std::uint16_t icmpChecksum(std::span<const std::uint8_t> bytes);

inline constexpr std::size_t kEchoRequestSize = 28;
using EchoRequestBytes = std::array<std::uint8_t, kEchoRequestSize>;

// Type 8, code 0, identifier 0, sequence 0, 20 zero data bytes, with its checksum stored in
// host byte order (on the wire: 08 00 F7 FF and 24 zero bytes).
EchoRequestBytes buildEchoRequest();

// The destination of a probe in network byte order, or absent when the probe must not be
// sent: no address, an empty one, or a text that the dotted-quad conversion rejects. The
// conversion's error value is the limited broadcast address, so a literal
// "255.255.255.255" is refused too: a probe is never broadcast.
std::optional<std::uint32_t> echoDestination(std::optional<std::string_view> address);

// The longest wait that the probe makes (in milliseconds); a negative timeout waits 0 ms.
using limits::kMaxEchoTimeoutMs;

// True when the first datagram received within the timeout is an ICMP echo reply.
// An address without a destination gives false at once. When the socket cannot be
// created (the service's group outside net.ipv4.ping_group_range, no descriptors left)
// or the send is refused, the probe sleeps for the timeout before it answers false, so
// that it lasts as long as a probe that waits in vain.
bool sendEchoAndRecvReply(std::optional<std::string_view> address, std::int64_t timeoutMs);

}  // namespace printxpc
