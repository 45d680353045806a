// Builds the SNMPv1 GetRequest of one OID with a NULL value. A builder makes at most one
// request; the caller reads msg().data() and then drops the builder.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "snmp/snmp_message.h"

namespace printxpc {

class MIBConnection {
 public:
  MIBConnection() {}

  // True when the request was built into msg().data() (empty when the encoder rejected
  // it). False, with no message, for a second call, a missing or empty community, or a
  // missing OID or one outside the OID limits. `userData` is not used.
  bool requestGenericWithSingleResponse(const std::optional<std::string_view>& community,
                                        const void* userData,
                                        const std::optional<std::string_view>& oid,
                                        std::uint16_t requestId);

  const SNMPMessage& msg() const { return msg_; }

  // 0 while no request has been made, 4 from the first request call on.
  std::int32_t reqType() const { return reqType_; }

  // The request identifier of the first request call, whatever its outcome.
  std::optional<std::uint16_t> requestIdentifier() const { return requestIdentifier_; }

  // Nothing fills the raw copy: it is always empty.
  std::span<const std::uint8_t> getRawDataCopy() const { return {}; }

 private:
  static constexpr std::int32_t kReqTypeUsed = 4;

  SNMPMessage msg_;
  std::int32_t reqType_ = 0;
  std::optional<std::uint16_t> requestIdentifier_;
};

}  // namespace printxpc
