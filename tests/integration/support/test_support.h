// Shared helpers of the integration tests.
#pragma once

#include <string>
#include <string_view>

#include "protocol/operations.h"

namespace printxpc::test_support {

// The selectors of the six operations, as the tests send them.
inline const std::string_view kWritable = selectorOf(Operation::kIsFilePathWritable);
inline const std::string_view kPlist = selectorOf(Operation::kWriteDictionaryToPlistFile);
inline const std::string_view kWake = selectorOf(Operation::kSendMagicPacket);
inline const std::string_view kEcho = selectorOf(Operation::kSendEchoAndRecvReply);
inline const std::string_view kGet = selectorOf(Operation::kPdeSnmpGet);
inline const std::string_view kCancel = selectorOf(Operation::kCancelFileWrite);

// True inside the private network namespace made by tests/netns-run.
bool inPrivateNetns();

// Skips the current test with a clear message outside the private network namespace.
#define PRINTXPC_REQUIRE_NETNS()                                                      \
  do {                                                                                \
    if (!::printxpc::test_support::inPrivateNetns()) {                                \
      GTEST_SKIP() << "needs a private network namespace (run scripts/test as root)"; \
    }                                                                                 \
  } while (false)

// Path of a built executable, e.g. binaryPath("src/service/print-xpc-service-a").
std::string binaryPath(const std::string& relative);

}  // namespace printxpc::test_support
