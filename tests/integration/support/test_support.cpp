#include "support/test_support.h"

#include <cstdlib>
#include <string_view>

namespace printxpc::test_support {

bool inPrivateNetns() {
  const char* value = std::getenv("PRINTXPC_NETNS");
  return value != nullptr && std::string_view(value) == "1";
}

std::string binaryPath(const std::string& relative) {
  return std::string(PRINTXPC_BINARY_DIR) + "/" + relative;
}

}  // namespace printxpc::test_support
