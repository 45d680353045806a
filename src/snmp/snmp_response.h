// One parse of a GetResponse datagram into one record: the request id from a walk of the
// BER structure, and the first varbind's value from a byte-pattern scan. The two rules
// differ on purpose: the id decides whether a datagram is the answer at all, while the
// value is taken wherever the first varbind pattern appears, as printers' answers have
// always been read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "snmp/ber.h"

namespace printxpc {

// Where the scan found a varbind's name. oidLengthIndex is the position of the last byte
// of the name's length field (the only byte, oidPositionIndex + 1, in the one-byte form),
// so the name's content always starts at oidLengthIndex + 1 and the value's tag at
// oidLengthIndex + oidLengthValue + 1.
struct OidPositionAndLength {
  std::uint64_t oidPositionIndex = 0;
  std::uint64_t oidLengthIndex = 0;
  std::uint64_t oidLengthValue = 0;

  friend bool operator==(const OidPositionAndLength&, const OidPositionAndLength&) = default;
};

inline std::uint64_t valueIndexOf(const OidPositionAndLength& varbind) {
  return varbind.oidLengthIndex + varbind.oidLengthValue + 1;
}

// A value as the decoder reads it: its tag, and its bytes when they lie within the datagram.
// An IpAddress's bytes are the four after its length byte, which is not read; every other
// tag's are its element content.
struct SnmpValue {
  std::uint8_t tag = 0;
  std::optional<ber::Bytes> bytes;
};

struct SnmpResponse {
  // The request id of a GetResponse (message SEQUENCE, version, community, PDU 0xA2,
  // request-id INTEGER of 1 to 8 bytes) as the integer the agent encoded; nothing for any
  // other datagram.
  std::optional<std::int64_t> requestId;
  // The first position at which the varbind pattern matches; nothing when none does.
  std::optional<OidPositionAndLength> firstVarbind;
  // The value after the first varbind's name, or at position 1 when there is no varbind
  // (where a varbind record of zeros points); nothing when fewer than three bytes are left
  // from its position.
  std::optional<SnmpValue> value;
};

// The datagram's bytes must outlive the record, which points into them.
SnmpResponse parseSnmpResponse(ber::Bytes datagram);

// The parse's parts, for the message faces that read them one at a time.
std::optional<std::int64_t> responseRequestId(ber::Bytes message);
// The first varbind at or after `from`, which moves past it (to the end when there is none).
// A varbind starts with a SEQUENCE tag whose length field (one byte, 0x81 n or 0x82 hi lo)
// is followed by an OBJECT IDENTIFIER tag and its length field.
std::optional<OidPositionAndLength> nextVarbind(ber::Bytes message, std::uint64_t& from);
// The value whose tag is at `tagIndex`; nothing for position 0, or fewer than three bytes
// from it.
// (Inline: every value operation starts here.)
inline std::optional<SnmpValue> valueAt(ber::Bytes message, std::uint64_t tagIndex) {
  const std::uint64_t size = message.size();
  if (tagIndex == 0 || tagIndex >= size || size - tagIndex < 3) {
    return std::nullopt;  // at least one byte must follow the length byte
  }
  SnmpValue value{message[tagIndex], std::nullopt};
  if (value.tag == ber::kIpAddress) {
    if (size - tagIndex >= 6) {
      value.bytes = message.subspan(tagIndex + 2, 4);
    }
  } else {
    value.bytes = ber::contentAt(message, tagIndex);
  }
  return value;
}
// The name's content bytes of a varbind, when they lie within the message.
std::optional<ber::Bytes> nameOf(ber::Bytes message, const OidPositionAndLength& varbind);

}  // namespace printxpc
