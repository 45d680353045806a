#include "snmp/value_text.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "protocol/text.h"

namespace printxpc {
namespace {

using ber::Bytes;

// A subidentifier is an unsigned 32-bit number.
constexpr std::uint64_t kMaxSubidentifier = 0xFFFFFFFFU;

// One base-128 group from `position`; nothing when the input ends inside it or its value
// runs past 32 bits (checked at every byte, so 64 bits never wrap).
std::optional<std::uint64_t> readGroup(Bytes bytes, std::size_t& position) {
  std::uint64_t value = 0;
  while (position < bytes.size()) {
    const std::uint8_t byte = bytes[position++];
    value = (value << 7) | (byte & 0x7FU);
    if (value > kMaxSubidentifier) {
      return std::nullopt;
    }
    if ((byte & 0x80U) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

// This table and kDottedBytes are there for speed: DecodeOurs in bench/snmp_codec_bench.cpp.
// "00" to "99", for writing two decimal digits at a time.
constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> table{};
  for (std::size_t value = 0; value < 100; ++value) {
    table[2 * value] = static_cast<char>('0' + value / 10);
    table[2 * value + 1] = static_cast<char>('0' + value % 10);
  }
  return table;
}();

// Unsigned decimal at `out`, which has room for 20 characters whatever the value (the
// digits are moved as one block of 20); the end of what was written. Most subidentifiers
// have one digit: those take the short way.
constexpr std::size_t kDecimalRoom = 20;

[[gnu::always_inline]] inline char* writeDecimal(char* out, std::uint64_t value) {
  if (value < 10) {
    *out = static_cast<char>('0' + value);
    return out + 1;
  }
  // Filled backwards from the middle, so that the block moved out stays inside.
  std::array<char, 2 * kDecimalRoom> digits{};
  char* const last = digits.data() + kDecimalRoom;
  char* start = last;
  while (value >= 100) {
    start -= 2;
    std::memcpy(start, kDigitPairs.data() + 2 * (value % 100), 2);
    value /= 100;
  }
  if (value >= 10) {
    start -= 2;
    std::memcpy(start, kDigitPairs.data() + 2 * value, 2);
  } else {
    *--start = static_cast<char>('0' + value);
  }
  std::memcpy(out, start, kDecimalRoom);
  return out + (last - start);
}

// Signed decimal, as "%d" writes it.
char* writeSigned(char* out, std::int32_t value) {
  if (value < 0) {
    *out++ = '-';
    return writeDecimal(out, 0U - static_cast<std::uint64_t>(static_cast<std::int64_t>(value)));
  }
  return writeDecimal(out, static_cast<std::uint64_t>(value));
}

// ".0" to ".127": the text of every one-byte subidentifier, padded to four bytes.
struct DottedByte {
  std::array<char, 4> text;
  std::uint8_t size;
};

constexpr std::array<DottedByte, 128> kDottedBytes = [] {
  std::array<DottedByte, 128> table{};
  for (std::size_t value = 0; value < table.size(); ++value) {
    DottedByte& entry = table[value];
    entry.text[0] = '.';
    std::size_t size = 1;
    if (value >= 100) {
      entry.text[size++] = static_cast<char>('0' + value / 100);
    }
    if (value >= 10) {
      entry.text[size++] = static_cast<char>('0' + value / 10 % 10);
    }
    entry.text[size++] = static_cast<char>('0' + value % 10);
    entry.size = static_cast<std::uint8_t>(size);
  }
  return table;
}();

// Each k-byte group gives at most 3k digits and a dot, the first group also its "a."
// prefix; kDecimalRoom more leave the last writeDecimal its room.
std::size_t oidTextBound(std::size_t contentSize) { return 4 * contentSize + 2 + kDecimalRoom; }

// The dotted text of a non-empty OBJECT IDENTIFIER content at `begin`, which has room for
// oidTextBound characters; its length, or nothing for an unfinished group or one past 32
// bits.
std::optional<std::size_t> writeOidText(Bytes oid, char* const begin) {
  char* out = begin;
  std::size_t position = 1;
  std::optional<std::uint64_t> first = oid[0];  // most often one byte, 0x2B for 1.3
  if (oid[0] >= 0x80) {
    position = 0;
    first = readGroup(oid, position);
    if (!first) {
      return std::nullopt;
    }
  }
  // The first subidentifier holds two arcs: 40 x first + second, the first arc at most 2.
  const std::uint64_t firstArc = *first < 40 ? 0 : (*first < 80 ? 1 : 2);
  *out++ = static_cast<char>('0' + firstArc);
  *out++ = '.';
  out = writeDecimal(out, *first - 40 * firstArc);
  while (position < oid.size()) {
    const std::uint8_t byte = oid[position];
    if (byte < 0x80) {
      // A group of one byte, the common case: its ".digits" come from the table, four
      // bytes stored at once (room for them is part of the bound).
      const DottedByte& dotted = kDottedBytes[byte];
      std::memcpy(out, dotted.text.data(), dotted.text.size());
      out += dotted.size;
      ++position;
      continue;
    }
    const std::optional<std::uint64_t> group = readGroup(oid, position);
    if (!group) {
      return std::nullopt;
    }
    *out++ = '.';
    out = writeDecimal(out, *group);
  }
  return static_cast<std::size_t>(out - begin);
}

}  // namespace

// The texts are built in place in their optional, so that returning them copies nothing.
std::optional<SnmpText> oidText(Bytes oid) {
  std::optional<SnmpText> text;
  if (oid.empty()) {
    return text;
  }
  text.emplace();
  const std::optional<std::size_t> length =
      writeOidText(oid, text->prepare(oidTextBound(oid.size())));
  if (!length) {
    text.reset();
    return text;
  }
  text->shrink(*length);
  return text;
}

namespace {

// Big-endian bytes into 32 bits, a longer content keeping its last four bytes.
std::uint32_t lowWord(Bytes content, std::uint32_t start) {
  std::uint32_t value = start;
  for (const std::uint8_t byte : content) {
    value = (value << 8) | byte;
  }
  return value;
}

// A text of at most 16 characters written by `write` (given where to start, it returns
// where it ended), with room for writeDecimal after any of them.
template <typename Write>
std::optional<SnmpText> shortText(Write&& write) {
  std::optional<SnmpText> text(std::in_place);
  char* const begin = text->prepare(16 + kDecimalRoom);
  text->shrink(static_cast<std::size_t>(write(begin) - begin));
  return text;
}

std::optional<SnmpText> ipAddressText(Bytes address) {
  return shortText([&](char* out) {
    for (std::size_t k = 0; k < 4; ++k) {
      if (k > 0) {
        *out++ = '.';
      }
      out = writeDecimal(out, address[k]);
    }
    return out;
  });
}

std::optional<std::int32_t> signedWord(Bytes content) {
  // An INTEGER has at least one content byte; without one there is no number.
  if (content.empty()) {
    return std::nullopt;
  }
  const bool negative = (content.front() & 0x80U) != 0;
  return static_cast<std::int32_t>(lowWord(content, negative ? 0xFFFFFFFFU : 0U));
}

}  // namespace

SnmpText octetStringText(Bytes content) {
  static constexpr char kUpper[] = "0123456789ABCDEF";
  static constexpr char kLower[] = "0123456789abcdef";
  SnmpText text;
  const bool control =
      std::any_of(content.begin(), content.end(), [](std::uint8_t byte) { return byte < 0x20; });
  if (control) {
    char* const out = text.prepare(content.size() * 3 - 1);
    for (std::size_t k = 0; k < content.size(); ++k) {
      out[3 * k] = kUpper[content[k] >> 4];
      out[3 * k + 1] = kUpper[content[k] & 0x0FU];
      if (k + 1 < content.size()) {
        out[3 * k + 2] = '-';
      }
    }
    return text;
  }
  const std::string_view raw(reinterpret_cast<const char*>(content.data()), content.size());
  if (text::isValidUtf8(raw)) {
    std::memcpy(text.prepare(raw.size()), raw.data(), raw.size());
    return text;
  }
  char* const out = text.prepare(4 + 2 * content.size());
  std::memset(out, ' ', 4);
  for (std::size_t k = 0; k < content.size(); ++k) {
    out[4 + 2 * k] = kLower[content[k] >> 4];
    out[4 + 2 * k + 1] = kLower[content[k] & 0x0FU];
  }
  return text;
}

std::optional<std::int32_t> integerValue(const std::optional<SnmpValue>& value) {
  if (!value || value->tag != ber::kInteger || !value->bytes) {
    return std::nullopt;
  }
  return signedWord(*value->bytes);
}

std::optional<SnmpText> valueText(const std::optional<SnmpValue>& value, UnsignedForm form) {
  if (!value) {
    return std::nullopt;
  }
  const std::optional<Bytes>& bytes = value->bytes;
  switch (value->tag) {
    case ber::kInteger: {
      const std::optional<std::int32_t> number = bytes ? signedWord(*bytes) : std::nullopt;
      if (!number) {
        return std::nullopt;
      }
      return shortText([&](char* out) { return writeSigned(out, *number); });
    }
    case ber::kOctetString:
      if (!bytes) {
        return std::nullopt;
      }
      return octetStringText(*bytes);
    case ber::kNull:
      return std::nullopt;
    case ber::kObjectIdentifier:
      if (!bytes) {
        return std::nullopt;
      }
      return oidText(*bytes);
    case ber::kIpAddress:
      if (!bytes) {
        return std::nullopt;
      }
      return ipAddressText(*bytes);
    case ber::kCounter32:
    case ber::kGauge32:
    case ber::kTimeTicks:
    case ber::kUInteger32: {
      if (form == UnsignedForm::kEmpty) {
        return std::optional<SnmpText>(std::in_place);
      }
      if (!bytes) {
        return std::nullopt;
      }
      const std::uint32_t number = lowWord(*bytes, 0);
      return shortText([&](char* out) { return writeDecimal(out, number); });
    }
    default:
      return std::optional<SnmpText>(std::in_place);
  }
}

std::string formatMacAddress(std::string_view text) {
  std::array<std::size_t, 12> positions{};
  for (std::size_t i = 0; i < positions.size(); ++i) {
    switch (text.size()) {
      case 17:  // "00-1A-2B-3C-4D-5E": the two digits of each group
        positions[i] = i / 2 * 3 + i % 2;
        break;
      case 16:  // four blanks, then twelve hex digits
        positions[i] = 4 + i;
        break;
      case 12:  // the address as plain text
        positions[i] = i;
        break;
      default:
        return {};
    }
  }
  std::string mac;
  mac.reserve(17);
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (i > 0 && i % 2 == 0) {
      mac.push_back(':');
    }
    mac.push_back(text[positions[i]]);
  }
  // Bytes picked from a text holding other than ASCII can cut a character in two.
  if (!text::isValidUtf8(mac)) {
    return {};
  }
  return mac;
}

std::string_view cutToResultText(std::string_view text) {
  return text.substr(0, text::wholeCharacterPrefix(text, kMaxResultText));
}

}  // namespace printxpc
