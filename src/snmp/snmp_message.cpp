#include "snmp/snmp_message.h"

#include <algorithm>
#include <array>

#include "protocol/text.h"

namespace printxpc {
namespace {

constexpr std::uint8_t kTagInteger = 0x02;
constexpr std::uint8_t kTagOctetString = 0x04;
constexpr std::uint8_t kTagNull = 0x05;
constexpr std::uint8_t kTagObjectIdentifier = 0x06;
constexpr std::uint8_t kTagSequence = 0x30;
constexpr std::uint8_t kTagGetRequest = 0xA0;
constexpr std::uint8_t kTagGetNextRequest = 0xA1;

constexpr std::uint64_t kMaxArc = 4294967295U;
constexpr std::uint64_t kMaxFirstArc = 2;
constexpr std::uint64_t kMaxSecondArcUnderZeroOrOne = 39;

std::uint64_t base128Length(std::uint64_t value) {
  std::uint64_t groups = 1;
  while ((value >>= 7) != 0) {
    ++groups;
  }
  return groups;
}

// The decimal value of one arc's text (empty: 0), or nothing for a non-digit or a value
// above kMaxArc.
std::optional<std::uint64_t> parseArc(std::string_view text) {
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > kMaxArc) {
      return std::nullopt;
    }
  }
  return value;
}

// Walks the subidentifiers of an OID text, the first two arcs combined into 40 x first +
// second, and hands each to `sink`. False, possibly after some calls, when the text is
// outside the limits. This is the one place that knows the OID text rules.
template <typename Sink>
bool forEachSubidentifier(std::string_view text, Sink&& sink) {
  if (text.size() >= SNMPMessage::kMaxOidTextLength) {
    return false;
  }
  std::uint64_t firstArc = 0;
  std::size_t arcCount = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    const bool last = dot == std::string_view::npos;
    const std::size_t end = last ? text.size() : dot;
    const std::string_view component = text.substr(start, end - start);
    if (last && component.empty()) {
      break;  // a trailing dot (or an empty text) adds no arc
    }
    const std::optional<std::uint64_t> arc = parseArc(component);
    if (!arc) {
      return false;
    }
    if (arcCount == 0) {
      if (*arc > kMaxFirstArc) {
        return false;
      }
      firstArc = *arc;
    } else if (arcCount == 1) {
      if (firstArc<kMaxFirstArc&& * arc> kMaxSecondArcUnderZeroOrOne) {
        return false;
      }
      sink(40 * firstArc + *arc);
    } else {
      sink(*arc);
    }
    ++arcCount;
    if (last) {
      break;
    }
    start = dot + 1;
  }
  return arcCount >= 2;
}

// Length in BER form: one byte up to 127, else 0x82 and the low 16 bits.
void appendLength(InlineVector<std::uint8_t, SNMPMessage::kInlineDataCapacity>& data,
                  std::uint32_t length, bool& complete) {
  if (length <= 127) {
    complete &= data.push_back(static_cast<std::uint8_t>(length));
    return;
  }
  const std::array<std::uint8_t, 3> field{0x82, static_cast<std::uint8_t>((length >> 8) & 0xFFU),
                                          static_cast<std::uint8_t>(length & 0xFFU)};
  complete &= data.append(field);
}

bool carriesNoContent(std::uint8_t type) {
  return type == kTagNull || type == kTagSequence || type == kTagGetRequest ||
         type == kTagGetNextRequest;
}

std::uint32_t encodedSize(std::uint32_t length) {
  return static_cast<std::uint32_t>(
      SNMPMessage::getTotalByteCount(static_cast<std::int32_t>(length)));
}

}  // namespace

void SNMPMessage::setData(std::span<const std::uint8_t> bytes) {
  data_.clear();
  data_.append(bytes);
}

void SNMPMessage::setSnmpVar(SnmpVar& var, std::uint8_t type, std::uint8_t length,
                             std::optional<std::span<const std::uint8_t>> value) {
  var.type = type;
  var.length = length;
  var.releaseValue();
  if (value) {
    var.setValue(value->first(std::min<std::size_t>(length, value->size())));
  }
}

void SNMPMessage::setSnmpVar(SnmpVar& var, std::uint8_t type, std::uint8_t length) {
  var.type = type;
  var.length = length;
}

void SNMPMessage::setMessageSequenceLength(std::uint8_t length) {
  setSnmpVar(message_, kTagSequence, length);
}

void SNMPMessage::setVersion(std::uint8_t version) {
  const std::array<std::uint8_t, 1> byte{version};
  setSnmpVar(version_, kTagInteger, 1, byte);
}

void SNMPMessage::setCommunityString(std::string_view community) {
  // Bytes that are not UTF-8 can count more units than there are bytes; the length never
  // exceeds the bytes.
  const auto length = static_cast<std::uint8_t>(
      std::min<std::size_t>(text::utf16Length(community) & 0xFFU, community.size()));
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(community.data()),
                                            community.size());
  setSnmpVar(communityString_, kTagOctetString, length, bytes);
}

void SNMPMessage::setPduWithType(std::uint8_t type, std::uint8_t length) {
  setSnmpVar(pdu_, type, length);
}

void SNMPMessage::setRequestId(std::span<const std::uint8_t> bytes, std::uint8_t type,
                               std::uint8_t length) {
  setSnmpVar(requestId_, type, length, bytes);
}

void SNMPMessage::setError(std::uint8_t error) {
  const std::array<std::uint8_t, 1> byte{error};
  setSnmpVar(error_, kTagInteger, 1, byte);
}

void SNMPMessage::setErrorIndex(std::uint8_t errorIndex) {
  const std::array<std::uint8_t, 1> byte{errorIndex};
  setSnmpVar(errorIndex_, kTagInteger, 1, byte);
}

void SNMPMessage::setVarbindListSequenceLength(std::uint8_t length) {
  setSnmpVar(varbindList_, kTagSequence, length);
}

void SNMPMessage::setVarbindSequenceLength(std::uint8_t length) {
  setSnmpVar(varbind_, kTagSequence, length);
}

void SNMPMessage::clearVarbind() {
  varbindOids_.clear();
  varbindValues_.clear();
  varbindsIncomplete_ = false;
}

std::uint64_t SNMPMessage::seventhBitHasMoreValue(std::uint64_t value,
                                                  std::span<std::uint8_t> bytes) {
  const std::uint64_t count = base128Length(value);
  if (count > bytes.size()) {
    return 0;
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t shift = 7 * (count - 1 - i);
    const auto group = static_cast<std::uint8_t>((value >> shift) & 0x7FU);
    bytes[i] = i + 1 < count ? static_cast<std::uint8_t>(group | 0x80U) : group;
  }
  return count;
}

std::uint64_t SNMPMessage::copyOid(std::string_view oid,
                                   std::span<std::uint8_t, SnmpVar::kCapacity> bytes) {
  std::uint64_t count = 0;
  // A text within the limits has fewer content bytes than characters, so the buffer
  // never runs out; the check only guards the walker's early calls on a bad text.
  const bool valid = forEachSubidentifier(oid, [&](std::uint64_t subidentifier) {
    count += seventhBitHasMoreValue(subidentifier, std::span(bytes).subspan(count));
  });
  return valid ? count : 0;
}

std::uint64_t SNMPMessage::getVarbindOIDLength(std::optional<std::string_view> oid) {
  if (!oid) {
    return 0;
  }
  std::uint64_t count = 0;
  const bool valid = forEachSubidentifier(
      *oid, [&](std::uint64_t subidentifier) { count += base128Length(subidentifier); });
  return valid ? count : 0;
}

bool SNMPMessage::isOidWithinLimits(std::string_view oid) {
  return forEachSubidentifier(oid, [](std::uint64_t) {});
}

void SNMPMessage::setVarbindOidsWithNilValues(std::span<const std::string_view> oids) {
  clearVarbind();
  if (!varbindOids_.assign(oids.size()) || !varbindValues_.assign(oids.size())) {
    clearVarbind();
    varbindsIncomplete_ = true;
    return;
  }
  const std::span<SnmpVar> names = varbindOids_.items();
  const std::span<SnmpVar> values = varbindValues_.items();
  for (std::size_t i = 0; i < oids.size(); ++i) {
    const std::uint64_t length = copyOid(oids[i], names[i].setZeroedBuffer());
    setSnmpVar(names[i], kTagObjectIdentifier, static_cast<std::uint8_t>(length & 0xFFU));
    setSnmpVar(values[i], kTagNull, 0, std::nullopt);
  }
}

std::int32_t SNMPMessage::getTotalByteCount(std::int32_t length) {
  const std::int64_t header = length <= 127 ? 2 : 4;
  return static_cast<std::int32_t>(static_cast<std::int64_t>(length) + header);
}

void SNMPMessage::autoComputeLength() {
  varbindList_.length = 0;
  const std::span<const SnmpVar> names = varbindOids_.items();
  const std::span<const SnmpVar> values = varbindValues_.items();
  for (std::size_t i = 0; i < names.size(); ++i) {
    varbind_.length = encodedSize(names[i].length) + encodedSize(values[i].length);
    varbindList_.length += encodedSize(varbind_.length);
  }
  pdu_.length = encodedSize(varbindList_.length) + encodedSize(errorIndex_.length) +
                encodedSize(error_.length) + encodedSize(requestId_.length);
  message_.length = encodedSize(pdu_.length) + encodedSize(communityString_.length) +
                    encodedSize(version_.length);
}

std::int64_t SNMPMessage::copyVar(const SnmpVar& var) {
  bool complete = data_.push_back(var.type);
  appendLength(data_, var.length, complete);
  if (var.length == 0 || carriesNoContent(var.type)) {
    return complete ? 0 : -1;
  }
  const std::optional<std::span<const std::uint8_t>> value = var.value();
  if (!value || value->size() < var.length) {
    return -1;
  }
  complete &= data_.append(value->first(var.length));
  return complete ? 0 : -1;
}

bool SNMPMessage::isSnmpValid() const {
  const std::span<const std::uint8_t> bytes = data_.items();
  if (bytes.size() < 2) {
    return false;
  }
  if ((bytes[1] & 0x80U) == 0) {
    return static_cast<std::size_t>(bytes[1]) + 2 == bytes.size();
  }
  if (bytes.size() < 4) {
    return false;
  }
  const std::size_t content = static_cast<std::size_t>(bytes[2]) * 256 + bytes[3];
  return content + 4 == bytes.size();
}

void SNMPMessage::writeSnmpMessageToData() {
  data_.clear();
  autoComputeLength();
  for (const SnmpVar* record : {&message_, &version_, &communityString_, &pdu_, &requestId_,
                                &error_, &errorIndex_, &varbindList_}) {
    copyVar(*record);
  }
  const std::span<const SnmpVar> names = varbindOids_.items();
  const std::span<const SnmpVar> values = varbindValues_.items();
  for (std::size_t i = 0; i < names.size(); ++i) {
    varbind_.length = encodedSize(names[i].length) + encodedSize(values[i].length);
    copyVar(varbind_);
    copyVar(names[i]);
    copyVar(values[i]);
  }
  if (varbindsIncomplete_ || !isSnmpValid()) {
    data_.clear();
  }
}

}  // namespace printxpc
