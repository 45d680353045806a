#include "snmp/mib_connection.h"

#include <array>

namespace printxpc {
namespace {

constexpr std::uint8_t kSnmpVersion1 = 0;

// The lengths of a request whose OID has eight content bytes; the encoder recomputes
// them before it writes, so only the tags matter.
constexpr std::uint8_t kNominalMessageOverhead = 33;
constexpr std::uint8_t kNominalPduLength = 26;
constexpr std::uint8_t kNominalVarbindListLength = 14;
constexpr std::uint8_t kNominalVarbindLength = 12;

}  // namespace

bool MIBConnection::requestGenericWithSingleResponse(
    const std::optional<std::string_view>& community, const void* /*userData*/,
    const std::optional<std::string_view>& oid, std::uint16_t requestId) {
  if (reqType_ != 0) {
    return false;
  }
  reqType_ = kReqTypeUsed;
  if (!requestIdentifier_) {
    requestIdentifier_ = requestId;
  }
  if (!community || community->empty()) {
    return false;
  }
  if (!oid) {
    return false;
  }
  msg_.setVersion(kSnmpVersion1);
  msg_.setCommunityString(*community);
  // The community's length in characters (reduced to 8 bits, which the sum keeps).
  msg_.setMessageSequenceLength(
      static_cast<std::uint8_t>((msg_.communityString().length + kNominalMessageOverhead) & 0xFFU));
  msg_.setPduWithType(ber::kGetRequest, kNominalPduLength);
  // Low byte first: the identifier goes out with its two bytes swapped, as peers expect.
  const std::array<std::uint8_t, 2> idBytes{static_cast<std::uint8_t>(requestId & 0xFFU),
                                            static_cast<std::uint8_t>(requestId >> 8)};
  msg_.setRequestId(idBytes, ber::kInteger, 2);
  msg_.setError(0);
  msg_.setErrorIndex(0);
  msg_.setVarbindListSequenceLength(kNominalVarbindListLength);
  msg_.setVarbindSequenceLength(kNominalVarbindLength);
  const std::array<std::string_view, 1> oids{*oid};
  msg_.setVarbindOidsWithNilValues(oids);
  // An OID text outside the limits encodes to no content at all: no message for it.
  if (msg_.varbindOids().front().length == 0) {
    return false;
  }
  msg_.writeSnmpMessageToData();
  return true;
}

}  // namespace printxpc
