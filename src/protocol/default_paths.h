// Where the service listens and where the client keeps its cancel file when nobody named a
// path: one implementation for both sides, so that they always meet.
#pragma once

#include <string>
#include <string_view>

namespace printxpc::paths {

// A path, or why there is none (exactly one of the two is non-empty).
struct PathOrError {
  std::string path;
  std::string error;
};

// $XDG_RUNTIME_DIR when it is set and not empty. Otherwise /tmp/print-xpc-<uid>, created with
// mode 0700 and used only when it is a real directory (not a symbolic link) owned by this
// user with no group or other access: anyone may create names in /tmp first.
PathOrError runtimeDirectory();

// <runtime directory>/<build name>.sock
PathOrError defaultSocketPath(std::string_view buildName);

// <runtime directory>/print-xpc-call.cancel
PathOrError defaultCancelFile();

}  // namespace printxpc::paths
