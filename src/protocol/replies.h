// The reply strings shared by several operations.
#pragma once

#include <string_view>

namespace printxpc::replies {

inline constexpr std::string_view kTrue = "TRUE";
inline constexpr std::string_view kFalse = "FALSE";

inline constexpr std::string_view boolean(bool value) { return value ? kTrue : kFalse; }

}  // namespace printxpc::replies
