// The file-creation rules shared by every operation that creates or opens files by path.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string_view>

namespace printxpc::files {

// Every file the service creates is rw-rw-r--: the mode 0664 under the mask 002. The mask is
// process-wide and is left at 002 once an operation has set it.
inline constexpr mode_t kCreationMask = 002;
inline constexpr mode_t kCreatedFileMode = 0664;

inline void useCreationMask() { ::umask(kCreationMask); }

// Flags for every open of a path that a client named: it may be a terminal (which must never
// become the service's controlling terminal) or a FIFO or device (which must never block).
inline constexpr int kClientPathFlags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

// Whether the text can be handed to the system as a path: not empty and without NUL bytes.
inline bool isSystemPath(std::string_view path) {
  return !path.empty() && path.find('\0') == std::string_view::npos;
}

}  // namespace printxpc::files
