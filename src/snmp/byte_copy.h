// Copies of a few bytes without a library call: the records and the messages copy many
// short runs (one-byte INTEGERs, a community, an OID), where a call costs more than the copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace printxpc {

inline void copyBytes(std::uint8_t* out, const std::uint8_t* in, std::size_t count) {
  // Fixed-size copies compile to plain moves; two of them overlap to cover any count in
  // their range.
  if (count >= 16) {
    std::memcpy(out, in, count);
  } else if (count >= 8) {
    std::memcpy(out, in, 8);
    std::memcpy(out + count - 8, in + count - 8, 8);
  } else if (count >= 4) {
    std::memcpy(out, in, 4);
    std::memcpy(out + count - 4, in + count - 4, 4);
  } else if (count > 0) {
    out[0] = in[0];
    out[count / 2] = in[count / 2];
    out[count - 1] = in[count - 1];
  }
}

}  // namespace printxpc
