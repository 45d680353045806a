// The response decoder. It does not walk the BER structure: varbinds are found by a
// byte pattern tested at every position, and every read is checked against the length.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "protocol/text.h"
#include "snmp/snmp_message.h"

namespace printxpc {
namespace {

using Bytes = std::span<const std::uint8_t>;

struct LengthField {
  std::uint64_t value;
  std::uint64_t size;  // bytes of the field itself: 1, 2 or 3
};

// A length field at `position`: one byte below 0x80, 0x81 n, or 0x82 hi lo; nothing for
// any other form or a field that runs past the end.
std::optional<LengthField> lengthFieldAt(Bytes message, std::uint64_t position) {
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

// Where the content of the element whose tag is at `tagIndex` starts, and its length.
struct Element {
  std::uint64_t start;
  std::uint64_t length;
};

std::optional<Element> elementAt(Bytes message, std::uint64_t tagIndex) {
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
std::optional<Bytes> elementContent(Bytes message, const std::optional<Element>& element) {
  if (!element || element->start > message.size() ||
      element->length > message.size() - element->start) {
    return std::nullopt;
  }
  return message.subspan(element->start, element->length);
}

std::optional<Bytes> contentAt(Bytes message, std::uint64_t tagIndex) {
  return elementContent(message, elementAt(message, tagIndex));
}

// A varbind starting at `start`: SEQUENCE tag, its length field, OBJECT IDENTIFIER tag,
// and the name's length field within the message.
std::optional<OidPositionAndLength> matchVarbindAt(Bytes message, std::uint64_t start) {
  if (message[start] != ber::kSequence) {
    return std::nullopt;
  }
  const std::optional<LengthField> sequence = lengthFieldAt(message, start + 1);
  if (!sequence) {
    return std::nullopt;
  }
  const std::uint64_t nameTag = start + 1 + sequence->size;
  if (nameTag >= message.size() || message[nameTag] != kSnmpTypeObjectIdentifier) {
    return std::nullopt;
  }
  const std::optional<LengthField> name = lengthFieldAt(message, nameTag + 1);
  if (!name) {
    return std::nullopt;
  }
  return OidPositionAndLength{nameTag, nameTag + name->size, name->value};
}

// Sixteen message bytes as one vector (a GCC and Clang extension that compiles to the
// machine's vector instructions, or to plain code where it has none).
using Lanes = std::uint8_t __attribute__((vector_size(16)));

Lanes loadLanes(Bytes message, std::uint64_t at) {
  Lanes lanes;
  std::memcpy(&lanes, message.data() + at, sizeof lanes);
  return lanes;
}

// Vectorised for speed: DecodeOurs in bench/snmp_codec_bench.cpp measures it.
// The first position at or after `from` where a varbind may start: a SEQUENCE tag with an
// OBJECT IDENTIFIER tag two bytes on, or with a long-form length byte after it. Sixteen
// positions are tested at a time; the message size when none is left.
std::uint64_t nextCandidate(Bytes message, std::uint64_t from) {
  static_assert(std::endian::native == std::endian::little, "lanes are read low byte first");
  std::uint64_t i = from;
  for (; i < message.size() && message.size() - i >= sizeof(Lanes) + 2; i += sizeof(Lanes)) {
    const Lanes at = loadLanes(message, i);
    const Lanes next = loadLanes(message, i + 1);
    const Lanes afterNext = loadLanes(message, i + 2);
    // Every lane is all ones where the position qualifies, zero elsewhere.
    const auto candidates = (at == ber::kSequence) & ((afterNext == kSnmpTypeObjectIdentifier) |
                                                      (next >= std::uint8_t{0x80}));
    std::array<std::uint64_t, 2> halves;
    std::memcpy(halves.data(), &candidates, sizeof halves);
    if (halves[0] != 0) {
      return i + static_cast<std::uint64_t>(std::countr_zero(halves[0])) / 8;
    }
    if (halves[1] != 0) {
      return i + 8 + static_cast<std::uint64_t>(std::countr_zero(halves[1])) / 8;
    }
  }
  for (; i < message.size(); ++i) {
    if (message[i] == ber::kSequence) {
      return i;
    }
  }
  return message.size();
}

// The first varbind at or after `from`; `from` moves past it.
std::optional<OidPositionAndLength> nextVarbind(Bytes message, std::uint64_t& from) {
  for (std::uint64_t i = nextCandidate(message, from); i < message.size();
       i = nextCandidate(message, i + 1)) {
    if (const std::optional<OidPositionAndLength> record = matchVarbindAt(message, i)) {
      from = i + 1;
      return record;
    }
  }
  from = message.size();
  return std::nullopt;
}

// The name's content bytes of a scan record, when they lie within the message.
std::optional<Bytes> nameOf(Bytes message, const OidPositionAndLength& record) {
  const std::uint64_t start = record.oidLengthIndex + 1;
  if (start > message.size() || record.oidLengthValue > message.size() - start) {
    return std::nullopt;
  }
  return message.subspan(start, record.oidLengthValue);
}

std::uint64_t valueIndexOf(const OidPositionAndLength& record) {
  return record.oidLengthIndex + record.oidLengthValue + 1;
}

// The first varbind's location, all zero when there is none.
OidPositionAndLength firstVarbind(Bytes message) {
  OidPositionAndLength record;
  SNMPMessage::extractOIDPositionAndLengthFromMessage(message, record.oidPositionIndex,
                                                      record.oidLengthIndex, record.oidLengthValue);
  return record;
}

// The first varbind's value as text; nothing when it has none.
std::optional<SnmpText> firstValueText(Bytes message) {
  return SNMPMessage::extractValueStringFromMessage(message, valueIndexOf(firstVarbind(message)));
}

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

// An OCTET STRING: "XX-XX" when any byte is a control byte, the text when it is valid
// UTF-8, and otherwise four spaces and lower-case hex.
std::optional<SnmpText> octetStringText(Bytes content) {
  static constexpr char kUpper[] = "0123456789ABCDEF";
  static constexpr char kLower[] = "0123456789abcdef";
  std::optional<SnmpText> text(std::in_place);
  const bool control =
      std::any_of(content.begin(), content.end(), [](std::uint8_t byte) { return byte < 0x20; });
  if (control) {
    char* const out = text->prepare(content.size() * 3 - 1);
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
    std::memcpy(text->prepare(raw.size()), raw.data(), raw.size());
    return text;
  }
  char* const out = text->prepare(4 + 2 * content.size());
  std::memset(out, ' ', 4);
  for (std::size_t k = 0; k < content.size(); ++k) {
    out[4 + 2 * k] = kLower[content[k] >> 4];
    out[4 + 2 * k + 1] = kLower[content[k] & 0x0FU];
  }
  return text;
}

// Both value-text operations, for the value whose tag is at `tagIndex`; `type` is null for
// the one without a type code, which also has no branch for the unsigned types.
std::optional<SnmpText> valueText(Bytes message, std::uint64_t tagIndex, std::uint8_t* type) {
  if (type != nullptr) {
    *type = kSnmpTypeNull;
  }
  const std::uint64_t size = message.size();
  if (tagIndex == 0 || tagIndex >= size || size - tagIndex < 3) {
    return std::nullopt;  // at least one byte must follow the length byte
  }
  const std::uint8_t tag = message[tagIndex];
  auto report = [type](std::uint8_t code) {
    if (type != nullptr) {
      *type = code;
    }
  };
  switch (tag) {
    case kSnmpTypeInteger: {
      report(kSnmpTypeInteger);
      const std::optional<Bytes> content = contentAt(message, tagIndex);
      // An INTEGER has at least one content byte; without one there is no number.
      if (!content || content->empty()) {
        return std::nullopt;
      }
      const bool negative = (content->front() & 0x80U) != 0;
      const auto value = static_cast<std::int32_t>(lowWord(*content, negative ? 0xFFFFFFFFU : 0U));
      return shortText([&](char* out) { return writeSigned(out, value); });
    }
    case kSnmpTypeOctetString: {
      report(kSnmpTypeOctetString);
      const std::optional<Bytes> content = contentAt(message, tagIndex);
      if (!content) {
        return std::nullopt;
      }
      return octetStringText(*content);
    }
    case kSnmpTypeNull:
      return std::nullopt;
    case kSnmpTypeObjectIdentifier: {
      report(kSnmpTypeObjectIdentifier);
      const std::optional<Bytes> content = contentAt(message, tagIndex);
      if (!content) {
        return std::nullopt;
      }
      return oidText(*content);
    }
    case ber::kIpAddress:
      // The length byte is not read: the address is always the four bytes after it.
      if (size - tagIndex < 6) {
        return std::nullopt;
      }
      return ipAddressText(message.subspan(tagIndex + 2, 4));
    case ber::kCounter32:
    case ber::kGauge32:
    case ber::kTimeTicks:
    case ber::kUInteger32: {
      if (type == nullptr) {
        return std::optional<SnmpText>(std::in_place);
      }
      const std::optional<Bytes> content = contentAt(message, tagIndex);
      if (!content) {
        return std::nullopt;
      }
      const std::uint32_t value = lowWord(*content, 0);
      return shortText([&](char* out) { return writeDecimal(out, value); });
    }
    default:
      return std::optional<SnmpText>(std::in_place);
  }
}

// The text, or the empty string for none.
std::string textOrEmpty(const std::optional<SnmpText>& text) {
  return text ? text->str() : std::string();
}

}  // namespace

std::vector<OidPositionAndLength> SNMPMessage::extractAllOIDPositionAndLengthFromMessage(
    std::span<const std::uint8_t> message) {
  std::vector<OidPositionAndLength> records;
  std::uint64_t from = 0;
  while (const std::optional<OidPositionAndLength> record = nextVarbind(message, from)) {
    records.push_back(*record);
  }
  return records;
}

bool SNMPMessage::extractOIDPositionAndLengthFromMessage(std::span<const std::uint8_t> message,
                                                         std::uint64_t& oidPositionIndex,
                                                         std::uint64_t& oidLengthIndex,
                                                         std::uint64_t& oidLengthValue) {
  std::uint64_t from = 0;
  const std::optional<OidPositionAndLength> record = nextVarbind(message, from);
  if (!record) {
    return false;
  }
  oidPositionIndex = record->oidPositionIndex;
  oidLengthIndex = record->oidLengthIndex;
  oidLengthValue = record->oidLengthValue;
  return true;
}

std::optional<SnmpText> SNMPMessage::convertOIDDataToString(std::span<const std::uint8_t> oid) {
  return oidText(oid);
}

std::optional<SnmpText> SNMPMessage::extractValueStringFromMessage(
    std::span<const std::uint8_t> message, std::uint64_t valueTypeIndex, std::uint8_t& type) {
  return valueText(message, valueTypeIndex, &type);
}

std::optional<SnmpText> SNMPMessage::extractValueStringFromMessage(
    std::span<const std::uint8_t> message, std::uint64_t valueTypeIndex) {
  return valueText(message, valueTypeIndex, nullptr);
}

std::optional<std::vector<std::uint8_t>> SNMPMessage::extractValueDataFromMessage(
    std::span<const std::uint8_t> message, std::uint64_t valueTypeIndex) {
  if (valueTypeIndex == 0) {
    return std::nullopt;
  }
  const std::optional<Bytes> content = contentAt(message, valueTypeIndex);
  if (!content) {
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(content->begin(), content->end());
}

void SNMPMessage::extractSysIDFromMsg(std::optional<std::span<const std::uint8_t>> message,
                                      std::string& sysID) {
  if (!message) {
    return;
  }
  sysID = textOrEmpty(firstValueText(*message));
}

bool SNMPMessage::extractStringFromMsg(std::optional<std::span<const std::uint8_t>> message,
                                       std::optional<std::string_view> community,
                                       std::string& contents) {
  if (!message || !community) {
    return false;
  }
  const std::optional<SnmpText> text = firstValueText(*message);
  if (!text) {
    return false;
  }
  contents = text->view();
  return true;
}

bool SNMPMessage::extractDataFromMsg(std::optional<std::span<const std::uint8_t>> message,
                                     std::optional<std::string_view> community,
                                     std::vector<std::uint8_t>& contents) {
  if (!message || !community) {
    return false;
  }
  std::optional<std::vector<std::uint8_t>> bytes =
      extractValueDataFromMessage(*message, valueIndexOf(firstVarbind(*message)));
  if (!bytes) {
    return false;
  }
  contents = std::move(*bytes);
  return true;
}

bool SNMPMessage::extractStringFromMsg(std::optional<std::span<const std::uint8_t>> message,
                                       std::optional<std::string_view> community,
                                       std::string& nextOID, std::string& contents) {
  if (!message || !community) {
    return false;
  }
  const OidPositionAndLength record = firstVarbind(*message);
  const std::optional<Bytes> name = nameOf(*message, record);
  const std::optional<SnmpText> nameText = name ? oidText(*name) : std::nullopt;
  if (!nameText) {
    return false;
  }
  nextOID = nameText->view();
  const std::optional<SnmpText> text =
      extractValueStringFromMessage(*message, valueIndexOf(record));
  if (!text) {
    return false;
  }
  contents = text->view();
  return true;
}

void SNMPMessage::extractAllStringsFromMsg(std::optional<std::span<const std::uint8_t>> message,
                                           std::optional<std::string_view> community,
                                           std::vector<std::string>& oids,
                                           std::vector<std::string>& contents) {
  if (!message || !community) {
    return;
  }
  for (const OidPositionAndLength& record : extractAllOIDPositionAndLengthFromMessage(*message)) {
    const std::optional<Bytes> name = nameOf(*message, record);
    oids.push_back(name ? textOrEmpty(oidText(*name)) : std::string());
    contents.push_back(textOrEmpty(extractValueStringFromMessage(*message, valueIndexOf(record))));
  }
}

std::optional<std::int64_t> SNMPMessage::getResponseRequestId(
    std::span<const std::uint8_t> message) {
  // Each element must hold its content within the datagram; version and community are
  // stepped over whole, the message and the PDU are entered.
  const auto enter = [message](std::uint64_t at, std::uint8_t tag) -> std::optional<Element> {
    if (at >= message.size() || message[at] != tag) {
      return std::nullopt;
    }
    const auto element = elementAt(message, at);
    if (!elementContent(message, element)) {
      return std::nullopt;
    }
    return element;
  };
  const auto outer = enter(0, ber::kSequence);
  const auto version = outer ? enter(outer->start, ber::kInteger) : std::nullopt;
  const auto community =
      version ? enter(version->start + version->length, ber::kOctetString) : std::nullopt;
  const auto pdu =
      community ? enter(community->start + community->length, ber::kGetResponse) : std::nullopt;
  const auto requestId = pdu ? enter(pdu->start, ber::kInteger) : std::nullopt;
  if (!requestId || requestId->length < 1 || requestId->length > 8) {
    return std::nullopt;
  }
  const auto content = message.subspan(requestId->start, requestId->length);
  std::uint64_t value = (content[0] & 0x80U) != 0 ? ~std::uint64_t{0} : 0;
  for (const std::uint8_t byte : content) {
    value = (value << 8) | byte;
  }
  return static_cast<std::int64_t>(value);
}

}  // namespace printxpc
