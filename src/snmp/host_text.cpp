#include "snmp/host_text.h"

#include <algorithm>

#include "protocol/text.h"

namespace printxpc {
namespace {

bool isWhiteSpace(char32_t c) {
  return c == U' ' || c == U'\t' || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

bool isLineBreak(char32_t c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// The code point of one UTF-8 sequence; U+FFFD, which no trim removes, for bytes that are
// not one character.
char32_t decode(std::string_view bytes) {
  if (!text::isValidUtf8(bytes)) {
    return U'\uFFFD';
  }
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (bytes.size() == 1) {
    return lead;
  }
  char32_t c = lead & (0x7FU >> bytes.size());
  for (std::size_t i = 1; i < bytes.size(); ++i) {
    c = (c << 6) | (static_cast<unsigned char>(bytes[i]) & 0x3FU);
  }
  return c;
}

// The bytes of the first and of the last character; one byte where none starts (which
// decode then turns into U+FFFD).
std::size_t leadingLength(std::string_view text) {
  const std::size_t length = text::sequenceLength(static_cast<unsigned char>(text[0]));
  return std::clamp<std::size_t>(length, 1, text.size());
}

std::size_t trailingLength(std::string_view text) {
  std::size_t length = 1;
  while (length < text.size() && length < 4 &&
         text::isContinuation(static_cast<unsigned char>(text[text.size() - length]))) {
    ++length;
  }
  return length;
}

std::string_view trimBoth(std::string_view text, bool (*matches)(char32_t)) {
  while (!text.empty()) {
    const std::size_t length = leadingLength(text);
    if (!matches(decode(text.substr(0, length)))) {
      break;
    }
    text.remove_prefix(length);
  }
  while (!text.empty()) {
    const std::size_t length = trailingLength(text);
    if (!matches(decode(text.substr(text.size() - length)))) {
      break;
    }
    text.remove_suffix(length);
  }
  return text;
}

}  // namespace

std::string_view trimHostText(std::string_view host) {
  return trimBoth(trimBoth(host, isWhiteSpace), isLineBreak);
}

}  // namespace printxpc
