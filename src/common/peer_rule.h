// Who may talk to whom: the service serves only its own user and root, and its clients
// trust only a service of their own user or root. Anyone else could have the service write
// files as this user, or hand a client replies of their choosing. The service's fronts and
// both clients (socket and bus) decide with this rule.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <optional>

namespace printxpc::peer {

struct Credentials {
  uid_t uid = 0;
  pid_t pid = 0;
};

// The process at the other end of a connected Unix socket, as it was when it connected
// (SO_PEERCRED); nullopt when the kernel cannot say.
inline std::optional<Credentials> ofSocket(int fd) {
  ucred credentials{};
  socklen_t length = sizeof(credentials);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return std::nullopt;
  }
  return Credentials{credentials.uid, credentials.pid};
}

// The rule itself: this process's own (effective) user, or root.
inline bool trusted(uid_t uid) { return uid == ::geteuid() || uid == 0; }

}  // namespace printxpc::peer
