// Conversion of the address text of a probe request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace printxpc {

// The longest address text that the zero-terminated 255-byte buffer holds.
inline constexpr std::size_t kMaxAddressTextLength = 254;

// The platform's dotted-quad conversion (inet_addr) of the text, in network byte order.
// Text that does not convert gives the conversion's error value, the all-ones address
// 255.255.255.255; so does a text longer than kMaxAddressTextLength, which does not fit
// the buffer, and so does the literal "255.255.255.255" itself. An embedded NUL ends the
// text, as it ends the zero-terminated buffer.
std::uint32_t dottedQuadAddress(std::string_view text);

}  // namespace printxpc
