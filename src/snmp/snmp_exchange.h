// The UDP exchange of one GET: the printer's numeric IPv4 address resolved, the request
// sent to its port 161, and a wait (which a cancel ends) for the GetResponse that carries
// the request's id.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/time_limits.h"
#include "snmp/snmp_get_shared.h"
#include "snmp/snmp_response.h"

namespace printxpc {

using limits::kMaxSnmpWaitMs;

inline constexpr std::uint16_t kSnmpPort = 161;

// The largest UDP payload over IPv4: no request is longer, and every answer fits whole.
inline constexpr std::size_t kMaxUdpPayload = 65507;

// Room for any datagram. Not zeroed, since only the bytes received are read.
using DatagramBuffer = std::array<std::uint8_t, kMaxUdpPayload>;

enum class ExchangeEnd {
  kAnswer,
  kCancelled,
  // The host is no numeric IPv4 address, nothing could be sent (after the whole wait, as a
  // silent printer), or no answer came within the wait.
  kNoAnswer,
};

// Sends `request` to `host` (trimmed as trimHostText trims it) and waits for the shared
// timeout, clamped to 0 to kMaxSnmpWaitMs. Every datagram from the printer's address and
// port is parsed once; the first whose request id is `requestId` becomes `answer`, which
// points into `receive`. Any other datagram is skipped while the wait goes on.
ExchangeEnd exchangeSnmp(const SnmpGetShared& shared, std::string_view host,
                         std::span<const std::uint8_t> request, std::int64_t requestId,
                         DatagramBuffer& receive, SnmpResponse& answer);

}  // namespace printxpc
