// What the GETs of one service share, whichever caller made them.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/cancel_signal.h"

namespace printxpc {

// Set by the requests, read by every GET. The service core holds one.
struct SnmpGetShared {
  explicit SnmpGetShared(CancelSignal& cancelSignal) : cancel(cancelSignal) {}

  CancelSignal& cancel;                      // the cancel flag, and the wake-up of waits
  std::atomic<std::int64_t> timeoutMs{250};  // the wait in ms, read as signed 32-bit
  std::atomic<std::int32_t> retries{3};      // kept from requests; nothing reads it
};

}  // namespace printxpc
