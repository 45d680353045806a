// Shared helpers of the integration tests.
#pragma once

#include <string>

namespace printxpc::testing {

// True inside the private network namespace made by tests/netns-run.
bool inPrivateNetns();

// Skips the current test with a clear message outside the private network namespace.
#define PRINTXPC_REQUIRE_NETNS()                                                      \
  do {                                                                                \
    if (!::printxpc::testing::inPrivateNetns()) {                                     \
      GTEST_SKIP() << "needs a private network namespace (run scripts/test as root)"; \
    }                                                                                 \
  } while (false)

// Path of a built executable, e.g. binaryPath("src/service/print-xpc-service-a").
std::string binaryPath(const std::string& relative);

}  // namespace printxpc::testing
