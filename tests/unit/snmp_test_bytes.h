// Byte helpers for the SNMP codec tests.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "snmp/snmp_text.h"

namespace printxpc {

// Lets gtest print a decoded text as text.
inline void PrintTo(const SnmpText& text, std::ostream* os) { *os << '"' << text.view() << '"'; }

}  // namespace printxpc

namespace printxpc::test_support {

using ByteVector = std::vector<std::uint8_t>;

// "30 27 02" -> {0x30, 0x27, 0x02}; blanks are ignored.
inline ByteVector hexBytes(std::string_view text) {
  ByteVector bytes;
  int high = -1;
  for (const char c : text) {
    int nibble = -1;
    if (c >= '0' && c <= '9') nibble = c - '0';
    if (c >= 'a' && c <= 'f') nibble = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') nibble = c - 'A' + 10;
    if (nibble < 0) continue;
    if (high < 0) {
      high = nibble;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high * 16 + nibble));
      high = -1;
    }
  }
  return bytes;
}

inline ByteVector concat(std::initializer_list<ByteVector> parts) {
  ByteVector all;
  for (const ByteVector& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline ByteVector textBytes(std::string_view text) { return ByteVector(text.begin(), text.end()); }

inline ByteVector toVector(std::span<const std::uint8_t> bytes) {
  return ByteVector(bytes.begin(), bytes.end());
}

// The BER length field as the encoder writes it: one byte to 127, else 0x82 hi lo.
inline ByteVector lengthField(std::size_t length) {
  if (length <= 127) return {static_cast<std::uint8_t>(length)};
  return {0x82, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF)};
}

// Tag, length (encoder form) and content.
inline ByteVector element(std::uint8_t tag, const ByteVector& content) {
  return concat({{tag}, lengthField(content.size()), content});
}

}  // namespace printxpc::test_support
