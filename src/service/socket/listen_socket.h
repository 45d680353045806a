// The listening socket of the service: created at a path, or passed by systemd.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "common/unique_fd.h"
#include "printxpc/result.h"

namespace printxpc {

// Each failure below carries kExitFailure (service/core/exit_status.h) as its code.

// The first socket passed by systemd socket activation (LISTEN_PID/LISTEN_FDS), nullopt when
// the variables are absent or meant for another process. An error when they are malformed or
// the socket is not a listening Unix stream socket. The variables are removed so that
// children do not inherit them.
Result<std::optional<UniqueFd>> activatedSocket();

bool isListeningUnixStream(int fd);

// The path a Unix socket is bound to, "(unnamed)" for an unnamed or abstract one.
std::string boundPath(int socket);

// The socket file that this process created. Another instance may replace it while this
// one runs (after this one stopped answering, or by hand); that file is not ours to remove.
struct SocketFile {
  std::string path;  // empty: no file of ours (socket activation)
  dev_t device = 0;
  ino_t inode = 0;

  // Removes the file if it is still the one that this process bound.
  void removeIfOurs() const;
};

struct ListeningSocket {
  UniqueFd socket;
  SocketFile file;
};

// Creates a listening socket at the path with mode 0600. A stale socket file (nobody
// answers) is replaced; a live service or a file that is not a socket is left alone.
Result<ListeningSocket> listenAt(const std::string& path);

}  // namespace printxpc
