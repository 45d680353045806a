#include "protocol/default_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "printxpc/errors.h"

namespace printxpc::paths {
namespace {

Error failure(std::string message) {
  return {errorCode(ClientError::kUnsafeDirectory), std::move(message)};
}

std::string octalMode(mode_t mode) {
  char text[8];
  (void)std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// The checks that keep a directory in /tmp from being one that another user prepared.
std::string untrustedReason(const std::string& dir, const struct stat& status, uid_t user) {
  if (S_ISLNK(status.st_mode)) {
    return dir + " is a symbolic link, not a directory";
  }
  if (!S_ISDIR(status.st_mode)) {
    return dir + " is not a directory";
  }
  if (status.st_uid != user) {
    return dir + " belongs to uid " + std::to_string(status.st_uid) + ", not to uid " +
           std::to_string(user);
  }
  if ((status.st_mode & 077) != 0) {
    return dir + " has mode " + octalMode(status.st_mode) +
           ": group and others must have no access (0700)";
  }
  return {};
}

// The way out. In sticky /tmp only the owner of a name (or root) can remove it, so a name that
// another user made first stays until they or root remove it: the runtime directory avoids it.
std::string remedy(uid_t owner, uid_t user) {
  const std::string avoid =
      "set XDG_RUNTIME_DIR to a directory of your own, such as the /run/user/" +
      std::to_string(user) + " that every systemd login session has";
  if (owner == user) {
    return "remove it, or " + avoid;
  }
  const std::string who =
      owner == 0 ? "only root" : "only its owner (uid " + std::to_string(owner) + ") or root";
  return who + " can remove it from sticky /tmp; to avoid it, " + avoid;
}

Result<std::string> inRuntimeDirectory(std::string_view name) {
  auto dir = runtimeDirectory();
  if (dir) {
    *dir += '/';
    *dir += name;
  }
  return dir;
}

}  // namespace

Result<std::string> runtimeDirectory() {
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDir != nullptr && *runtimeDir != '\0') {
    return std::string(runtimeDir);
  }
  const uid_t user = ::geteuid();
  std::string dir = "/tmp/print-xpc-" + std::to_string(user);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return failure("cannot create " + dir + ": " + std::strerror(errno));
  }
  struct stat status {};
  if (::lstat(dir.c_str(), &status) != 0) {
    return failure("cannot examine " + dir + ": " + std::strerror(errno));
  }
  if (auto reason = untrustedReason(dir, status, user); !reason.empty()) {
    return failure("refusing the private directory: " + reason + " (" +
                   remedy(status.st_uid, user) + ")");
  }
  return dir;
}

Result<std::string> defaultSocketPath(std::string_view buildName) {
  return inRuntimeDirectory(std::string(buildName) + ".sock");
}

Result<std::string> defaultCancelFile() { return inRuntimeDirectory("print-xpc-call.cancel"); }

}  // namespace printxpc::paths
