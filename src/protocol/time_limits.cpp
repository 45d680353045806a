#include "protocol/time_limits.h"

#include <algorithm>

#include "protocol/requests.h"

namespace printxpc::limits {

std::chrono::milliseconds longestRun(std::optional<Operation> operation, std::string_view request) {
  if (operation == Operation::kPdeSnmpGet) {
    return std::chrono::milliseconds(kMaxSnmpWaitMs);
  }
  if (operation == Operation::kSendEchoAndRecvReply) {
    if (const auto echo = requests::parseEcho(request)) {
      // The probe waits its timeout, also when it cannot send.
      return std::chrono::milliseconds(
          std::clamp<std::int64_t>(echo->timeoutMs, 0, kMaxEchoTimeoutMs));
    }
  }
  return kQuickOperation;
}

}  // namespace printxpc::limits
