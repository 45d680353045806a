// The reply strings of the operations: the service writes them, the client parses them
// (printxpc/replies.h).
#pragma once

#include <string_view>

#include "printxpc/replies.h"

namespace printxpc::replies {

inline constexpr std::string_view kTrue = "TRUE";
inline constexpr std::string_view kFalse = "FALSE";

inline constexpr std::string_view boolean(bool value) { return value ? kTrue : kFalse; }

// The GET's forms with a value after the prefix.
inline constexpr std::string_view kSnmpIntegerPrefix = "TRUE:uResult.integer=";
inline constexpr std::string_view kSnmpTextPrefix = "TRUE:uResult.string=";
inline constexpr std::string_view kSnmpFailurePrefix = "FALSE:rtn_ExitValue=";

}  // namespace printxpc::replies
