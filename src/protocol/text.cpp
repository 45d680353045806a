#include "protocol/text.h"

#include <algorithm>
#include <limits>

#include "protocol/markers.h"

namespace printxpc::text {
namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

template <typename Int>
Int toInteger(std::string_view field) {
  std::size_t i = 0;
  while (i < field.size() && isSpace(field[i])) {
    ++i;
  }
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
    negative = field[i] == '-';
    ++i;
  }
  // Accumulate as a negative number so that the minimum fits; saturate at the limits.
  constexpr Int kMin = std::numeric_limits<Int>::min();
  Int value = 0;
  bool saturated = false;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
    const Int digit = static_cast<Int>(field[i] - '0');
    if (saturated) {
      continue;
    }
    if (value < (kMin + digit) / 10) {
      saturated = true;
      value = kMin;
      continue;
    }
    value = static_cast<Int>(value * 10 - digit);
  }
  if (negative) {
    return value;
  }
  if (value == kMin) {
    return std::numeric_limits<Int>::max();
  }
  return static_cast<Int>(-value);
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    const unsigned char lead = data[i];
    const std::size_t length = sequenceLength(lead);
    if (length == 0 || length > size - i) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if (!isContinuation(data[i + k])) {
        return false;
      }
    }
    if (length >= 3) {
      const unsigned char second = data[i + 1];
      // Overlong three- and four-byte forms, surrogates, and code points above U+10FFFF.
      if ((lead == 0xE0U && second < 0xA0U) || (lead == 0xEDU && second >= 0xA0U) ||
          (lead == 0xF0U && second < 0x90U) || (lead == 0xF4U && second >= 0x90U)) {
        return false;
      }
    }
    i += length;
  }
  return true;
}

bool hasNoncharacter(std::string_view utf8) {
  const auto* data = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t size = utf8.size();
  for (std::size_t i = 0; i < size;) {
    const std::size_t length = std::max<std::size_t>(sequenceLength(data[i]), 1);
    if (length >= 3 && length <= size - i) {
      // Only three- and four-byte sequences reach U+FDD0 and beyond.
      char32_t point = data[i] & (length == 3 ? 0x0FU : 0x07U);
      for (std::size_t k = 1; k < length; ++k) {
        point = (point << 6) | (data[i + k] & 0x3FU);
      }
      if ((point >= 0xFDD0U && point <= 0xFDEFU) || (point & 0xFFFEU) == 0xFFFEU) {
        return true;
      }
    }
    i += length;
  }
  return false;
}

std::size_t utf16Length(std::string_view utf8) {
  std::size_t units = 0;
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (isContinuation(byte)) {
      continue;
    }
    units += sequenceLength(byte) == 4 ? 2U : 1U;  // four bytes: beyond U+FFFF
  }
  return units;
}

std::int32_t toInt32(std::string_view field) { return toInteger<std::int32_t>(field); }

std::int64_t toInt64(std::string_view field) { return toInteger<std::int64_t>(field); }

std::size_t wholeCharacterPrefix(std::string_view text, std::size_t maxBytes) {
  std::size_t length = std::min(text.size(), maxBytes);
  for (std::size_t back = 0; length < text.size() && back < 3 && length > 0 &&
                             isContinuation(static_cast<unsigned char>(text[length]));
       ++back) {
    --length;
  }
  return length;
}

bool isNull(std::string_view field) { return field == markers::kNull; }

}  // namespace printxpc::text
