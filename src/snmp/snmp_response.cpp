#include "snmp/snmp_response.h"

#include <array>
#include <bit>
#include <cstring>

namespace printxpc {
namespace {

using ber::Bytes;
using ber::LengthField;

// A varbind starting at `start`: SEQUENCE tag, its length field, OBJECT IDENTIFIER tag,
// and the name's length field within the message.
std::optional<OidPositionAndLength> matchVarbindAt(Bytes message, std::uint64_t start) {
  if (message[start] != ber::kSequence) {
    return std::nullopt;
  }
  const std::optional<LengthField> sequence = ber::lengthFieldAt(message, start + 1);
  if (!sequence) {
    return std::nullopt;
  }
  const std::uint64_t nameTag = start + 1 + sequence->size;
  if (nameTag >= message.size() || message[nameTag] != ber::kObjectIdentifier) {
    return std::nullopt;
  }
  const std::optional<LengthField> name = ber::lengthFieldAt(message, nameTag + 1);
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
    const auto candidates = (at == ber::kSequence) &
                            ((afterNext == ber::kObjectIdentifier) | (next >= std::uint8_t{0x80}));
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

}  // namespace

std::optional<OidPositionAndLength> nextVarbind(Bytes message, std::uint64_t& from) {
  for (std::uint64_t i = nextCandidate(message, from); i < message.size();
       i = nextCandidate(message, i + 1)) {
    if (const std::optional<OidPositionAndLength> varbind = matchVarbindAt(message, i)) {
      from = i + 1;
      return varbind;
    }
  }
  from = message.size();
  return std::nullopt;
}

std::optional<Bytes> nameOf(Bytes message, const OidPositionAndLength& varbind) {
  const std::uint64_t start = varbind.oidLengthIndex + 1;
  if (start > message.size() || varbind.oidLengthValue > message.size() - start) {
    return std::nullopt;
  }
  return message.subspan(start, varbind.oidLengthValue);
}

std::optional<std::int64_t> responseRequestId(Bytes message) {
  // Each element must hold its content within the datagram; version and community are
  // stepped over whole, the message and the PDU are entered.
  const auto enter = [message](std::uint64_t at, std::uint8_t tag) -> std::optional<ber::Element> {
    if (at >= message.size() || message[at] != tag) {
      return std::nullopt;
    }
    const auto element = ber::elementAt(message, at);
    if (!ber::elementContent(message, element)) {
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

SnmpResponse parseSnmpResponse(Bytes datagram) {
  SnmpResponse response;
  response.requestId = responseRequestId(datagram);
  std::uint64_t from = 0;
  response.firstVarbind = nextVarbind(datagram, from);
  response.value =
      valueAt(datagram, response.firstVarbind ? valueIndexOf(*response.firstVarbind) : 1);
  return response;
}

}  // namespace printxpc
