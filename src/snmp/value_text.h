// The text of a decoded value: numbers, object identifiers, IpAddresses, octet strings,
// the MAC-address form of a text and the cut of a text to what a result holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "snmp/ber.h"
#include "snmp/snmp_response.h"
#include "snmp/snmp_text.h"

namespace printxpc {

// Value type codes: the tag of the kinds that are told apart (INTEGER, OCTET STRING,
// OBJECT IDENTIFIER), NULL's for everything else.
inline constexpr std::uint8_t kSnmpTypeInteger = ber::kInteger;
inline constexpr std::uint8_t kSnmpTypeOctetString = ber::kOctetString;
inline constexpr std::uint8_t kSnmpTypeNull = ber::kNull;
inline constexpr std::uint8_t kSnmpTypeObjectIdentifier = ber::kObjectIdentifier;

// The type code of a value; NULL's for no value.
inline std::uint8_t valueTypeCode(const std::optional<SnmpValue>& value) {
  if (!value) {
    return kSnmpTypeNull;
  }
  switch (value->tag) {
    case kSnmpTypeInteger:
    case kSnmpTypeOctetString:
    case kSnmpTypeObjectIdentifier:
      return value->tag;
    default:
      return kSnmpTypeNull;
  }
}

// How Counter32, Gauge32, TimeTicks and UInteger32 read: as their decimal number, or as
// the empty text (the form of the text operation that reports no type code).
enum class UnsignedForm { kNumber, kEmpty };

// The value as text; nothing for no value, NULL, and a value whose bytes are missing or
// malformed (an INTEGER without content, an unfinished subidentifier). INTEGER in signed
// decimal, the unsigned kinds as `form` says, OBJECT IDENTIFIER dotted, IpAddress dotted
// quad, OCTET STRING as octetStringText; any other kind the empty text.
std::optional<SnmpText> valueText(const std::optional<SnmpValue>& value, UnsignedForm form);

// An INTEGER value's number, its content read as big-endian two's complement keeping the
// last four bytes; nothing without content bytes.
std::optional<std::int32_t> integerValue(const std::optional<SnmpValue>& value);

// Dotted text of an OBJECT IDENTIFIER's content; nothing for no content, an unfinished
// group or a subidentifier past 32 bits.
std::optional<SnmpText> oidText(ber::Bytes content);

// An OCTET STRING: "XX-XX" when any byte is a control byte, the text when it is valid
// UTF-8, and otherwise four spaces and lower-case hex.
SnmpText octetStringText(ber::Bytes content);

// Twelve bytes of a value text picked by its length (17, 16 or 12) and joined in pairs
// by colons; empty for any other length, and where the pairs would split a UTF-8
// character.
std::string formatMacAddress(std::string_view text);

// The most bytes of text a result holds.
inline constexpr std::size_t kMaxResultText = 255;

// The text cut to kMaxResultText bytes, or fewer so as not to split a UTF-8 character.
std::string_view cutToResultText(std::string_view text);

}  // namespace printxpc
