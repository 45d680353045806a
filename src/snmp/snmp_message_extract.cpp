// SNMPMessage's class side: the reading operations on a message, each a face over the
// response parse (snmp_response.h) and the value text (value_text.h). The GET reads its
// answer through parseSnmpResponse instead; these serve the tests, the fuzz targets and
// whoever reads a message one part at a time.
#include <string>
#include <vector>

#include "snmp/snmp_message.h"
#include "snmp/snmp_response.h"
#include "snmp/value_text.h"

namespace printxpc {
namespace {

using ber::Bytes;

// The first varbind's value position: at 1 when there is none, where a varbind record of
// zeros points.
std::uint64_t firstValueIndex(Bytes message) {
  std::uint64_t from = 0;
  const std::optional<OidPositionAndLength> varbind = nextVarbind(message, from);
  return varbind ? valueIndexOf(*varbind) : 1;
}

// The first varbind's value as text; nothing when it has none.
std::optional<SnmpText> firstValueText(Bytes message) {
  return valueText(valueAt(message, firstValueIndex(message)), UnsignedForm::kEmpty);
}

// The text, or the empty string for none.
std::string textOrEmpty(const std::optional<SnmpText>& text) {
  return text ? text->str() : std::string();
}

}  // namespace

std::vector<OidPositionAndLength> SNMPMessage::extractAllOIDPositionAndLengthFromMessage(
    std::span<const std::uint8_t> message) {
  std::vector<OidPositionAndLength> varbinds;
  std::uint64_t from = 0;
  while (const std::optional<OidPositionAndLength> varbind = nextVarbind(message, from)) {
    varbinds.push_back(*varbind);
  }
  return varbinds;
}

bool SNMPMessage::extractOIDPositionAndLengthFromMessage(std::span<const std::uint8_t> message,
                                                         std::uint64_t& oidPositionIndex,
                                                         std::uint64_t& oidLengthIndex,
                                                         std::uint64_t& oidLengthValue) {
  std::uint64_t from = 0;
  const std::optional<OidPositionAndLength> varbind = nextVarbind(message, from);
  if (!varbind) {
    return false;
  }
  oidPositionIndex = varbind->oidPositionIndex;
  oidLengthIndex = varbind->oidLengthIndex;
  oidLengthValue = varbind->oidLengthValue;
  return true;
}

std::optional<std::int64_t> SNMPMessage::getResponseRequestId(
    std::span<const std::uint8_t> message) {
  return responseRequestId(message);
}

std::optional<SnmpText> SNMPMessage::convertOIDDataToString(std::span<const std::uint8_t> oid) {
  return oidText(oid);
}

std::optional<SnmpText> SNMPMessage::extractValueStringFromMessage(
    std::span<const std::uint8_t> message, std::uint64_t valueTypeIndex, std::uint8_t& type) {
  const std::optional<SnmpValue> value = valueAt(message, valueTypeIndex);
  type = valueTypeCode(value);
  return valueText(value, UnsignedForm::kNumber);
}

std::optional<SnmpText> SNMPMessage::extractValueStringFromMessage(
    std::span<const std::uint8_t> message, std::uint64_t valueTypeIndex) {
  return valueText(valueAt(message, valueTypeIndex), UnsignedForm::kEmpty);
}

std::optional<std::vector<std::uint8_t>> SNMPMessage::extractValueDataFromMessage(
    std::span<const std::uint8_t> message, std::uint64_t valueTypeIndex) {
  if (valueTypeIndex == 0) {
    return std::nullopt;
  }
  const std::optional<Bytes> content = ber::contentAt(message, valueTypeIndex);
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
      extractValueDataFromMessage(*message, firstValueIndex(*message));
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
  std::uint64_t from = 0;
  const std::optional<OidPositionAndLength> varbind = nextVarbind(*message, from);
  // Without a varbind there is no name, and so no text for it.
  const std::optional<Bytes> name = varbind ? nameOf(*message, *varbind) : std::nullopt;
  const std::optional<SnmpText> nameText = name ? oidText(*name) : std::nullopt;
  if (!nameText) {
    return false;
  }
  nextOID = nameText->view();
  const std::optional<SnmpText> text =
      extractValueStringFromMessage(*message, valueIndexOf(*varbind));
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
  for (const OidPositionAndLength& varbind : extractAllOIDPositionAndLengthFromMessage(*message)) {
    const std::optional<Bytes> name = nameOf(*message, varbind);
    oids.push_back(name ? textOrEmpty(oidText(*name)) : std::string());
    contents.push_back(textOrEmpty(extractValueStringFromMessage(*message, valueIndexOf(varbind))));
  }
}

}  // namespace printxpc
