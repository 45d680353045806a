// The SNMP GET transaction: one GetRequest by UDP to port 161 of a numeric IPv4 address,
// one awaited GetResponse, its first value left in a 256-byte result area.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "printxpc/replies.h"
#include "protocol/time_limits.h"
#include "snmp/snmp_get_shared.h"

namespace printxpc {

extern std::atomic<std::uint8_t> gtype;  // type code of the last decoded value

using limits::kMaxSnmpWaitMs;

inline constexpr std::int32_t kSnmpDone = 0;
// The statuses a client reads back (printxpc/replies.h).
inline constexpr std::int32_t kSnmpCancelled = replies::kSnmpCancelled;
inline constexpr std::int32_t kSnmpNoExchange = replies::kSnmpNoExchange;
inline constexpr std::int32_t kSnmpUnexpectedNull = replies::kSnmpNotExpectedKind;
inline constexpr std::int32_t kSnmpUnexpectedType = replies::kSnmpUnknownKind;

inline constexpr std::uint16_t kSnmpPort = 161;

// The largest UDP payload over IPv4: no request is longer, and every answer fits whole.
inline constexpr std::size_t kMaxUdpPayload = 65507;

// The result area of one GET: a signed 32-bit integer in its first four bytes, or a
// zero-terminated text of at most 255 bytes.
class UResult {
 public:
  static constexpr std::size_t kSize = 256;

  void clear() { bytes_.fill(0); }
  std::int32_t integer() const;
  void setInteger(std::int32_t value);
  std::string_view string() const;
  // Longer texts are cut to 255 bytes, or fewer so as not to split a UTF-8 character.
  void setString(std::string_view text);

 private:
  std::array<char, kSize> bytes_{};
};

// The status and the type code of the decoded value travel back together, so that
// concurrent GETs cannot mix their type codes.
struct SnmpGetOutcome {
  std::int32_t status = kSnmpNoExchange;
  std::uint8_t type = 0;
};

// Slots 3 (community), 6 (printer address) and 7 (object identifier) of the argument
// vector are read; a vector without them gets kSnmpNoExchange at once.
SnmpGetOutcome PdeSnmpGet(const SnmpGetShared& shared,
                          std::span<const std::string_view> snmpArgVector, UResult& uResult,
                          std::int32_t iType, std::int32_t rtnCharFlag);

// "TRUE:uResult.integer=%d", "TRUE:uResult.string=%s", "FALSE:rtn_ExitValue=%d" or "FALSE".
std::string snmpGetReply(const SnmpGetOutcome& outcome, const UResult& uResult);

// The host text as the GET trims it: white space from both ends, then line breaks.
std::string_view trimHostText(std::string_view host);

// Twelve bytes of a value text picked by its length (17, 16 or 12) and joined in pairs
// by colons; empty for any other length, and where the pairs would split a UTF-8
// character.
std::string formatMacAddress(std::string_view text);

}  // namespace printxpc
