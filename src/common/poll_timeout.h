// The timeout argument of poll() that ends a wait at a deadline.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace printxpc {

// Milliseconds from now until the deadline, rounded up (a wait cut short would end before
// it), never negative and at most a minute, after which the caller looks again.
inline int pollTimeout(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 60000));
}

}  // namespace printxpc
