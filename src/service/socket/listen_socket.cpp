#include "service/socket/listen_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "service/core/exit_status.h"

namespace printxpc {
namespace {

Error startFailure(std::string message) { return {kExitFailure, std::move(message)}; }

// The variable's value quoted for a message, or "(unset)".
std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "(unset)" : "'" + std::string(value) + "'";
}

enum class Existing { kNothing, kStale, kLive, kNotSocket };

Existing probeExisting(const std::string& path, const sockaddr_un& address) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return Existing::kNothing;
  }
  if (!S_ISSOCK(status.st_mode)) {
    return Existing::kNotSocket;
  }
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (probe &&
      ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
    return Existing::kLive;
  }
  return Existing::kStale;
}

}  // namespace

Result<std::optional<UniqueFd>> activatedSocket() {
  const std::string given =
      "LISTEN_PID=" + variable("LISTEN_PID") + " LISTEN_FDS=" + variable("LISTEN_FDS");
  // Parses both strictly (and checks that the descriptors are open); a LISTEN_PID of another
  // process means that they are not for us.
  const int count = ::sd_listen_fds(1);
  ::unsetenv("LISTEN_FDNAMES");
  if (count < 0) {
    return startFailure("refusing the socket activation variables " + given + ": " +
                        std::strerror(-count));
  }
  if (count == 0) {
    return std::optional<UniqueFd>();
  }
  UniqueFd socket(SD_LISTEN_FDS_START);
  if (!isListeningUnixStream(socket.get())) {
    return startFailure(
        "the socket passed by the service manager is not a listening Unix stream socket");
  }
  return std::optional<UniqueFd>(std::move(socket));
}

bool isListeningUnixStream(int fd) {
  int listening = 0;
  int type = 0;
  sockaddr_storage address{};
  socklen_t length = sizeof(listening);
  socklen_t typeLength = sizeof(type);
  socklen_t addressLength = sizeof(address);
  return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening &&
         ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 && type == SOCK_STREAM &&
         ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressLength) == 0 &&
         address.ss_family == AF_UNIX;
}

void SocketFile::removeIfOurs() const {
  struct stat status {};
  if (path.empty() || ::lstat(path.c_str(), &status) != 0) {
    return;
  }
  if (status.st_dev == device && status.st_ino == inode) {
    ::unlink(path.c_str());
  }
}

Result<ListeningSocket> listenAt(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) {
    return startFailure("socket path is empty or longer than " +
                        std::to_string(sizeof(address.sun_path) - 1) + " bytes: " + path);
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  switch (probeExisting(path, address)) {
    case Existing::kLive:
      return startFailure("a service already answers at " + path);
    case Existing::kNotSocket:
      return startFailure(path + " exists and is not a socket; not replacing it");
    case Existing::kStale:
      ::unlink(path.c_str());
      break;
    case Existing::kNothing:
      break;
  }
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener) {
    return startFailure(std::string("cannot create a socket: ") + std::strerror(errno));
  }
  // Only this user may connect: the mode is set as the file is created, with no window.
  const mode_t previousMask = ::umask(0177);
  const int bound =
      ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  const int bindErrno = errno;
  ::umask(previousMask);
  if (bound != 0) {
    return startFailure("cannot listen at " + path + ": " + std::strerror(bindErrno));
  }
  // Taken at once, before any other instance could replace the file.
  SocketFile created;
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) {
    created = {path, status.st_dev, status.st_ino};
  }
  if (::listen(listener.get(), SOMAXCONN) != 0) {
    const int listenErrno = errno;
    created.removeIfOurs();
    return startFailure("cannot listen at " + path + ": " + std::strerror(listenErrno));
  }
  return ListeningSocket{std::move(listener), std::move(created)};
}

std::string boundPath(int socket) {
  sockaddr_un address{};
  socklen_t length = sizeof address;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      length <= offsetof(sockaddr_un, sun_path) || address.sun_path[0] == '\0') {
    return "(unnamed)";
  }
  return {address.sun_path, ::strnlen(address.sun_path, sizeof address.sun_path)};
}

}  // namespace printxpc
