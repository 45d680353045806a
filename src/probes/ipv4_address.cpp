#include "probes/ipv4_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>

namespace printxpc {

std::uint32_t dottedQuadAddress(std::string_view text) {
  if (text.size() > kMaxAddressTextLength) {
    return INADDR_NONE;
  }
  std::array<char, kMaxAddressTextLength + 1> buffer{};
  std::copy(text.begin(), text.end(), buffer.begin());
  return ::inet_addr(buffer.data());
}

}  // namespace printxpc
