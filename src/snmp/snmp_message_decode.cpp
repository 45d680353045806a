// The response decoder. It does not walk the BER structure: varbinds are found by a
// byte pattern tested at every position, and every read is checked against the length.
#include <charconv>

#include "protocol/text.h"
#include "snmp/snmp_message.h"

namespace printxpc {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint8_t kTagSequence = 0x30;
constexpr std::uint8_t kTagIpAddress = 0x40;
constexpr std::uint8_t kTagCounter32 = 0x41;
constexpr std::uint8_t kTagGauge32 = 0x42;
constexpr std::uint8_t kTagTimeTicks = 0x43;
constexpr std::uint8_t kTagUInteger32 = 0x47;

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

// Where the content of the element whose tag is at `tag` starts, and its length.
struct Element {
  std::uint64_t start;
  std::uint64_t length;
};

std::optional<Element> elementAt(Bytes message, std::uint64_t tag) {
  if (tag >= message.size()) {
    return std::nullopt;
  }
  const std::optional<LengthField> field = lengthFieldAt(message, tag + 1);
  if (!field) {
    return std::nullopt;
  }
  return Element{tag + 1 + field->size, field->value};
}

// The element's content bytes, when they lie within the message.
std::optional<Bytes> contentOf(Bytes message, const std::optional<Element>& element) {
  if (!element || element->start > message.size() ||
      element->length > message.size() - element->start) {
    return std::nullopt;
  }
  return message.subspan(element->start, element->length);
}

std::optional<Bytes> contentAt(Bytes message, std::uint64_t tag) {
  return contentOf(message, elementAt(message, tag));
}

// A varbind starting at i: SEQUENCE tag, its length field, OBJECT IDENTIFIER tag, and
// the name's length field within the message.
std::optional<OidPositionAndLength> matchVarbindAt(Bytes message, std::uint64_t i) {
  if (message[i] != kTagSequence) {
    return std::nullopt;
  }
  const std::optional<LengthField> sequence = lengthFieldAt(message, i + 1);
  if (!sequence) {
    return std::nullopt;
  }
  const std::uint64_t nameTag = i + 1 + sequence->size;
  if (nameTag >= message.size() || message[nameTag] != kSnmpTypeObjectIdentifier) {
    return std::nullopt;
  }
  const std::optional<LengthField> name = lengthFieldAt(message, nameTag + 1);
  if (!name) {
    return std::nullopt;
  }
  return OidPositionAndLength{nameTag, nameTag + name->size, name->value};
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

// One base-128 group from `position`; nothing when the input ends inside it.
std::optional<std::uint64_t> readGroup(Bytes bytes, std::size_t& position) {
  std::uint64_t value = 0;
  while (position < bytes.size()) {
    const std::uint8_t byte = bytes[position++];
    value = (value << 7) | (byte & 0x7FU);
    if ((byte & 0x80U) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

char* writeDecimal(char* out, char* end, std::uint64_t value) {
  return std::to_chars(out, end, value).ptr;
}

template <typename Int>
std::string decimalText(Int value) {
  char buffer[24];
  return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// Big-endian bytes into 32 bits, a longer content keeping its last four bytes.
std::uint32_t lowWord(Bytes content, std::uint32_t start) {
  std::uint32_t value = start;
  for (const std::uint8_t byte : content) {
    value = (value << 8) | byte;
  }
  return value;
}

std::string ipAddressText(Bytes address) {
  char buffer[16];
  char* out = buffer;
  char* const end = buffer + sizeof buffer;
  for (std::size_t k = 0; k < 4; ++k) {
    if (k > 0) {
      *out++ = '.';
    }
    out = writeDecimal(out, end, address[k]);
  }
  return std::string(buffer, out);
}

// An OCTET STRING: "XX-XX" when any byte is a control byte, the text when it is valid
// UTF-8, and otherwise four spaces and lower-case hex.
std::string octetStringText(Bytes content) {
  static constexpr char kUpper[] = "0123456789ABCDEF";
  static constexpr char kLower[] = "0123456789abcdef";
  const bool control =
      std::any_of(content.begin(), content.end(), [](std::uint8_t byte) { return byte < 0x20; });
  if (control) {
    std::string text(content.size() * 3 - 1, '-');
    for (std::size_t k = 0; k < content.size(); ++k) {
      text[3 * k] = kUpper[content[k] >> 4];
      text[3 * k + 1] = kUpper[content[k] & 0x0FU];
    }
    return text;
  }
  const std::string_view raw(reinterpret_cast<const char*>(content.data()), content.size());
  if (text::isValidUtf8(raw)) {
    return std::string(raw);
  }
  std::string text(4 + 2 * content.size(), ' ');
  for (std::size_t k = 0; k < content.size(); ++k) {
    text[4 + 2 * k] = kLower[content[k] >> 4];
    text[4 + 2 * k + 1] = kLower[content[k] & 0x0FU];
  }
  return text;
}

// Both value-text operations; `type` is null for the one without a type code, which
// also has no branch for the unsigned types.
std::optional<std::string> valueText(Bytes message, std::uint64_t v, std::uint8_t* type) {
  if (type != nullptr) {
    *type = kSnmpTypeNull;
  }
  const std::uint64_t size = message.size();
  if (v == 0 || v >= size || size - v < 3) {
    return std::nullopt;  // at least one byte must follow the length byte
  }
  const std::uint8_t tag = message[v];
  auto report = [type](std::uint8_t code) {
    if (type != nullptr) {
      *type = code;
    }
  };
  switch (tag) {
    case kSnmpTypeInteger: {
      report(kSnmpTypeInteger);
      const std::optional<Element> element = elementAt(message, v);
      const std::optional<Bytes> content = contentOf(message, element);
      if (!content) {
        return std::nullopt;
      }
      // The sign comes from the byte where the content starts, even for an empty content.
      const bool negative = element->start < size && (message[element->start] & 0x80U) != 0;
      return decimalText(static_cast<std::int32_t>(lowWord(*content, negative ? 0xFFFFFFFFU : 0U)));
    }
    case kSnmpTypeOctetString: {
      report(kSnmpTypeOctetString);
      const std::optional<Bytes> content = contentAt(message, v);
      if (!content) {
        return std::nullopt;
      }
      return octetStringText(*content);
    }
    case kSnmpTypeNull:
      return std::nullopt;
    case kSnmpTypeObjectIdentifier: {
      report(kSnmpTypeObjectIdentifier);
      const std::optional<Bytes> content = contentAt(message, v);
      if (!content) {
        return std::nullopt;
      }
      return SNMPMessage::convertOIDDataToString(*content);
    }
    case kTagIpAddress:
      // The length byte is not read: the address is always the four bytes after it.
      if (size - v < 6) {
        return std::nullopt;
      }
      return ipAddressText(message.subspan(v + 2, 4));
    case kTagCounter32:
    case kTagGauge32:
    case kTagTimeTicks:
    case kTagUInteger32: {
      if (type == nullptr) {
        return std::string();
      }
      const std::optional<Bytes> content = contentAt(message, v);
      if (!content) {
        return std::nullopt;
      }
      return decimalText(lowWord(*content, 0));
    }
    default:
      return std::string();
  }
}

}  // namespace

std::vector<OidPositionAndLength> SNMPMessage::extractAllOIDPositionAndLengthFromMessage(
    std::span<const std::uint8_t> message) {
  std::vector<OidPositionAndLength> records;
  for (std::uint64_t i = 0; i < message.size(); ++i) {
    if (const std::optional<OidPositionAndLength> record = matchVarbindAt(message, i)) {
      records.push_back(*record);
    }
  }
  return records;
}

bool SNMPMessage::extractOIDPositionAndLengthFromMessage(std::span<const std::uint8_t> message,
                                                         std::uint64_t& oidPositionIndex,
                                                         std::uint64_t& oidLengthIndex,
                                                         std::uint64_t& oidLengthValue) {
  for (std::uint64_t i = 0; i < message.size(); ++i) {
    if (const std::optional<OidPositionAndLength> record = matchVarbindAt(message, i)) {
      oidPositionIndex = record->oidPositionIndex;
      oidLengthIndex = record->oidLengthIndex;
      oidLengthValue = record->oidLengthValue;
      return true;
    }
  }
  return false;
}

std::optional<std::string> SNMPMessage::convertOIDDataToString(std::span<const std::uint8_t> oid) {
  if (oid.empty()) {
    return std::nullopt;
  }
  std::size_t position = 0;
  const std::optional<std::uint64_t> first = readGroup(oid, position);
  if (!first) {
    return std::nullopt;
  }
  // Each k-byte group gives at most 3k digits and a dot; the first also its "a." prefix.
  std::string text(4 * oid.size() + 2, '\0');
  char* out = text.data();
  char* const end = text.data() + text.size();
  const std::uint64_t firstArc = *first < 40 ? 0 : (*first < 80 ? 1 : 2);
  *out++ = static_cast<char>('0' + firstArc);
  *out++ = '.';
  out = writeDecimal(out, end, *first - 40 * firstArc);
  while (position < oid.size()) {
    const std::optional<std::uint64_t> subidentifier = readGroup(oid, position);
    if (!subidentifier) {
      return std::nullopt;
    }
    *out++ = '.';
    out = writeDecimal(out, end, *subidentifier);
  }
  text.resize(static_cast<std::size_t>(out - text.data()));
  return text;
}

std::optional<std::string> SNMPMessage::extractValueStringFromMessage(
    std::span<const std::uint8_t> message, std::uint64_t valueTypeIndex, std::uint8_t& type) {
  return valueText(message, valueTypeIndex, &type);
}

std::optional<std::string> SNMPMessage::extractValueStringFromMessage(
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
  sysID = extractValueStringFromMessage(*message, valueIndexOf(firstVarbind(*message)))
              .value_or(std::string());
}

bool SNMPMessage::extractStringFromMsg(std::optional<std::span<const std::uint8_t>> message,
                                       std::optional<std::string_view> community,
                                       std::string& contents) {
  if (!message || !community) {
    return false;
  }
  std::optional<std::string> text =
      extractValueStringFromMessage(*message, valueIndexOf(firstVarbind(*message)));
  if (!text) {
    return false;
  }
  contents = std::move(*text);
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
  std::optional<std::string> nameText = name ? convertOIDDataToString(*name) : std::nullopt;
  if (!nameText) {
    return false;
  }
  nextOID = std::move(*nameText);
  std::optional<std::string> text = extractValueStringFromMessage(*message, valueIndexOf(record));
  if (!text) {
    return false;
  }
  contents = std::move(*text);
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
    oids.push_back(name ? convertOIDDataToString(*name).value_or(std::string()) : std::string());
    contents.push_back(
        extractValueStringFromMessage(*message, valueIndexOf(record)).value_or(std::string()));
  }
}

}  // namespace printxpc
