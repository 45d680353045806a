#include "snmp/mib_connection.h"

#include <array>

#include "protocol/text.h"

namespace printxpc {
namespace {

constexpr std::uint8_t kSnmpVersion1 = 0;
constexpr std::uint8_t kTagInteger = 0x02;
constexpr std::uint8_t kTagGetRequest = 0xA0;

// The lengths of a request whose OID has eight content bytes; the encoder recomputes
// them before it writes, so only the tags matter.
constexpr std::uint8_t kNominalMessageOverhead = 33;
constexpr std::uint8_t kNominalPduLength = 26;
constexpr std::uint8_t kNominalVarbindListLength = 14;
constexpr std::uint8_t kNominalVarbindLength = 12;

}  // namespace

bool MIBConnection::requestGenericWithSingleResponse(std::optional<std::string_view> community,
                                                     const void* /*userData*/,
                                                     std::optional<std::string_view> oid,
                                                     std::uint16_t requestId) {
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
  if (!oid || !SNMPMessage::isOidWithinLimits(*oid)) {
    return false;
  }
  msg_.setMessageSequenceLength(
      static_cast<std::uint8_t>((text::utf16Length(*community) + kNominalMessageOverhead) & 0xFFU));
  msg_.setVersion(kSnmpVersion1);
  msg_.setCommunityString(*community);
  msg_.setPduWithType(kTagGetRequest, kNominalPduLength);
  // Low byte first: the identifier goes out with its two bytes swapped, as peers expect.
  const std::array<std::uint8_t, 2> idBytes{static_cast<std::uint8_t>(requestId & 0xFFU),
                                            static_cast<std::uint8_t>(requestId >> 8)};
  msg_.setRequestId(idBytes, kTagInteger, 2);
  msg_.setError(0);
  msg_.setErrorIndex(0);
  msg_.setVarbindListSequenceLength(kNominalVarbindListLength);
  msg_.setVarbindSequenceLength(kNominalVarbindLength);
  const std::array<std::string_view, 1> oids{*oid};
  msg_.setVarbindOidsWithNilValues(oids);
  msg_.writeSnmpMessageToData();
  return true;
}

}  // namespace printxpc
