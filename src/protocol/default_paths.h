// Where the service listens and where the client keeps its cancel file when nobody named a
// path: one implementation for both sides, so that they always meet.
#pragma once

#include <string>
#include <string_view>

#include "printxpc/result.h"

namespace printxpc::paths {

// Each path comes with ClientError::kUnsafeDirectory and the reason when there is none.

// $XDG_RUNTIME_DIR when it is set and not empty. Otherwise /tmp/print-xpc-<uid>, created with
// mode 0700 and used only when it is a real directory (not a symbolic link) owned by this
// user with no group or other access: anyone may create names in /tmp first. The reason for a
// refusal names the fault, who can remove the name (the user; or, for another user's, only its
// owner or root) and that XDG_RUNTIME_DIR avoids /tmp.
Result<std::string> runtimeDirectory();

// <runtime directory>/<build name>.sock
Result<std::string> defaultSocketPath(std::string_view buildName);

// <runtime directory>/print-xpc-call.cancel
Result<std::string> defaultCancelFile();

}  // namespace printxpc::paths
