// How long each part of a conversation may take: the service keeps to these bounds, and the
// client bounds its waits by them, so that neither side waits for ever on the other.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "printxpc/operations.h"

namespace printxpc::limits {

// A client must complete the handshake in this time, counted from the connection; the
// client waits as long for the service's answer.
inline constexpr std::chrono::milliseconds kHandshake{10000};

// The longest wait of one GET, whatever the timeout asks for; a print dialog has given up
// long before.
inline constexpr std::int32_t kMaxSnmpWaitMs = 60000;

// The longest wait, in milliseconds, that the ICMP echo probe makes.
inline constexpr std::int64_t kMaxEchoTimeoutMs = 4'294'967;

// The file operations, the magic packet and a refused request: no network wait, only local
// work (an 8 MiB property list flushed to disk at worst).
inline constexpr std::chrono::milliseconds kQuickOperation{5000};

// The longest the service may work on one request before it replies: the operation's own
// bound (an echo's from its timeout). An unknown operation is answered at once.
std::chrono::milliseconds longestRun(std::optional<Operation> operation, std::string_view request);

}  // namespace printxpc::limits
