// BER as the SNMP messages use it: the tags, reading a length field and the element it
// starts, and writing a tag with its length once the size is known. Inline: the decoder
// calls the readers at every step of its scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace printxpc::ber {

// Tags (identifier octets) of the elements that the encoder writes and the decoder reads.
inline constexpr std::uint8_t kInteger = 0x02;
inline constexpr std::uint8_t kOctetString = 0x04;
inline constexpr std::uint8_t kNull = 0x05;
inline constexpr std::uint8_t kObjectIdentifier = 0x06;
inline constexpr std::uint8_t kSequence = 0x30;
inline constexpr std::uint8_t kIpAddress = 0x40;
inline constexpr std::uint8_t kCounter32 = 0x41;
inline constexpr std::uint8_t kGauge32 = 0x42;
inline constexpr std::uint8_t kTimeTicks = 0x43;
inline constexpr std::uint8_t kUInteger32 = 0x47;
inline constexpr std::uint8_t kGetRequest = 0xA0;
inline constexpr std::uint8_t kGetNextRequest = 0xA1;
inline constexpr std::uint8_t kGetResponse = 0xA2;

using Bytes = std::span<const std::uint8_t>;

// --- Reading ---------------------------------------------------------------------------
struct LengthField {
  std::uint64_t value;
  std::uint64_t size;  // bytes of the field itself: 1, 2 or 3
};

// A length field at `position`: one byte below 0x80, 0x81 n, or 0x82 hi lo; nothing for
// any other form or a field that runs past the end.
inline std::optional<LengthField> lengthFieldAt(Bytes message, std::uint64_t position) {
  if (position >= message.size()) {
    return std::nullopt;
  }
  const std::uint8_t first = message[position];
  if (first < 0x80) {
    return LengthField{first, 1};
  }
  const std::uint64_t following = first & 0x7FU;
  if ((following != 1 && following != 2) || message.size() - position <= following) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (std::uint64_t k = 1; k <= following; ++k) {
    value = (value << 8) | message[position + k];
  }
  return LengthField{value, following + 1};
}

// Where the content of an element starts, and its length.
struct Element {
  std::uint64_t start;
  std::uint64_t length;
};

// The element whose tag is at `tagIndex`, when its length field lies within the message
// (its content may not).
inline std::optional<Element> elementAt(Bytes message, std::uint64_t tagIndex) {
  if (tagIndex >= message.size()) {
    return std::nullopt;
  }
  const std::optional<LengthField> field = lengthFieldAt(message, tagIndex + 1);
  if (!field) {
    return std::nullopt;
  }
  return Element{tagIndex + 1 + field->size, field->value};
}

// The element's content bytes, when they lie within the message.
inline std::optional<Bytes> elementContent(Bytes message, const std::optional<Element>& element) {
  if (!element || element->start > message.size() ||
      element->length > message.size() - element->start) {
    return std::nullopt;
  }
  return message.subspan(element->start, element->length);
}

// Both of the above: the content of the element whose tag is at `tagIndex`.
inline std::optional<Bytes> contentAt(Bytes message, std::uint64_t tagIndex) {
  return elementContent(message, elementAt(message, tagIndex));
}

// --- Writing ---------------------------------------------------------------------------
// The writer's length forms: one byte up to 127, else 0x82 and the low 16 bits.
constexpr std::size_t headerSize(std::uint64_t length) { return length <= 127 ? 2 : 4; }

// Tag, length and content of an element with `length` content bytes.
constexpr std::size_t encodedSize(std::uint64_t length) { return length + headerSize(length); }

// The tag and length at `out`, which has room for headerSize(length) bytes; that size.
[[gnu::always_inline]] inline std::size_t writeHeader(std::uint8_t* out, std::uint8_t tag,
                                                      std::uint32_t length) {
  out[0] = tag;
  if (length <= 127) {
    out[1] = static_cast<std::uint8_t>(length);
    return 2;
  }
  out[1] = 0x82;
  out[2] = static_cast<std::uint8_t>((length >> 8) & 0xFFU);
  out[3] = static_cast<std::uint8_t>(length & 0xFFU);
  return 4;
}

}  // namespace printxpc::ber
