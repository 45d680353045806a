// Text helpers shared by the request-string parser, the operations and the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace printxpc::text {

// A UTF-8 continuation byte (10xxxxxx).
constexpr bool isContinuation(unsigned char byte) { return (byte & 0xC0U) == 0x80U; }

// Number of bytes of the UTF-8 sequence that starts with `lead`, or 0 for a byte that
// cannot start one.
constexpr std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80U) {
    return 1;
  }
  if (lead >= 0xC2U && lead <= 0xDFU) {
    return 2;
  }
  if (lead >= 0xE0U && lead <= 0xEFU) {
    return 3;
  }
  if (lead >= 0xF0U && lead <= 0xF4U) {
    return 4;
  }
  return 0;
}

// Strict UTF-8: rejects overlong forms, surrogates, code points above U+10FFFF and
// truncated sequences.
bool isValidUtf8(std::string_view bytes);

// Whether valid UTF-8 text holds a Unicode noncharacter: U+FDD0 to U+FDEF, or the last two
// code points of a plane (U+FFFE, U+FFFF, U+1FFFE, ... U+10FFFF). Such text is valid UTF-8,
// but some libraries (sd-bus among them) refuse to carry it.
bool hasNoncharacter(std::string_view utf8);

// Length in UTF-16 code units of valid UTF-8 text (a code point above U+FFFF counts two).
std::size_t utf16Length(std::string_view utf8);

// The integer value of a request field: leading white space skipped, an optional sign,
// decimal digits up to the first other character; no digits give 0; a number beyond
// the signed 32-bit range gives the nearest limit.
std::int32_t toInt32(std::string_view field);

// The same rule for a signed 64-bit value.
std::int64_t toInt64(std::string_view field);

// The length of the longest prefix of at most `maxBytes` bytes that does not end inside a
// UTF-8 character: a cut moves back over at most three continuation bytes (further back
// the text is no UTF-8, and the byte cut stands).
std::size_t wholeCharacterPrefix(std::string_view text, std::size_t maxBytes);

// True when the field is exactly the literal "NULL".
bool isNull(std::string_view field);

}  // namespace printxpc::text
