// What the GETs of one service share, whichever caller made them.
#pragma once

#include <atomic>
#include <cstdint>

namespace printxpc {

// Set by the requests, read by every GET. The service core holds one.
struct SnmpGetShared {
  std::atomic<std::int32_t> cancelFlag{0};   // non-zero stops GETs
  std::atomic<std::int64_t> timeoutMs{250};  // the wait in ms, read as signed 32-bit
  std::atomic<std::int32_t> retries{3};      // kept from requests; nothing reads it

  // Stores 1 into the cancel flag and ends the wait of every GET in progress at once.
  void raiseCancel();
};

}  // namespace printxpc
