// Exit codes of the service process. A start-up failure is an Error whose code is the exit
// code that it ends the process with.
#pragma once

#include <cstdint>

namespace printxpc {

inline constexpr std::uint16_t kExitOk = 0;
inline constexpr std::uint16_t kExitFailure = 1;  // cannot listen, another service answers, ...
inline constexpr std::uint16_t kExitUsage = 2;

}  // namespace printxpc
