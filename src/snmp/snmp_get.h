// The SNMP GET transaction: one GetRequest by UDP to port 161 of a numeric IPv4 address,
// one awaited GetResponse, its first value left in a 256-byte result area. A thin face over
// the request builder (mib_connection.h), the exchange (snmp_exchange.h) and the result
// (snmp_result.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "snmp/snmp_get_shared.h"
#include "snmp/snmp_result.h"

namespace printxpc {

extern std::atomic<std::uint8_t> gtype;  // type code of the last decoded value

SnmpGetOutcome PdeSnmpGet(const SnmpGetShared& shared, std::string_view community,
                          std::string_view host, std::string_view oid, UResult& uResult,
                          std::int32_t iType, std::int32_t rtnCharFlag);

}  // namespace printxpc
