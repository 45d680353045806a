// How an answer becomes a reply: the GET's statuses, its result area, the answer's first
// value taken into them, and the reply text they make.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "printxpc/replies.h"
#include "snmp/snmp_response.h"
#include "snmp/value_text.h"

namespace printxpc {

inline constexpr std::int32_t kSnmpDone = 0;
// The statuses a client reads back (printxpc/replies.h).
inline constexpr std::int32_t kSnmpCancelled = replies::kSnmpCancelled;
inline constexpr std::int32_t kSnmpNoExchange = replies::kSnmpNoExchange;
inline constexpr std::int32_t kSnmpUnexpectedNull = replies::kSnmpNotExpectedKind;
inline constexpr std::int32_t kSnmpUnexpectedType = replies::kSnmpUnknownKind;

// The result area of one GET: a signed 32-bit integer in its first four bytes, or a
// zero-terminated text of at most 255 bytes.
class UResult {
 public:
  static constexpr std::size_t kSize = kMaxResultText + 1;

  void clear() { bytes_.fill(0); }
  std::int32_t integer() const;
  void setInteger(std::int32_t value);
  std::string_view string() const;
  // Longer texts are cut as cutToResultText cuts them.
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

// The answer's first value into the result area: an INTEGER's number (0 without one), a
// text or object identifier as text (nothing stored without one), NULL and every other kind
// as the empty text when the caller expects text (iType 4) and as kSnmpUnexpectedNull
// otherwise. A non-zero rtnCharFlag stores a text in its MAC-address form.
SnmpGetOutcome takeAnswer(const SnmpResponse& answer, UResult& uResult, std::int32_t iType,
                          std::int32_t rtnCharFlag);

// "TRUE:uResult.integer=%d", "TRUE:uResult.string=%s", "FALSE:rtn_ExitValue=%d" or "FALSE".
std::string snmpGetReply(const SnmpGetOutcome& outcome, const UResult& uResult);

}  // namespace printxpc
