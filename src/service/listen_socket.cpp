#include "service/listen_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace printxpc {
namespace {

constexpr int kFirstActivatedFd = 3;  // where systemd passes the first socket

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

std::optional<UniqueFd> activatedSocket() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  if (pid == nullptr || fds == nullptr || std::atol(pid) != static_cast<long>(::getpid()) ||
      std::atoi(fds) < 1) {
    return std::nullopt;
  }
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  return UniqueFd(kFirstActivatedFd);
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

std::optional<std::string> listenAt(const std::string& path, UniqueFd& listener) {
  SocketFile ignored;
  return listenAt(path, listener, ignored);
}

std::optional<std::string> listenAt(const std::string& path, UniqueFd& listener,
                                    SocketFile& created) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) {
    return "socket path is empty or longer than " + std::to_string(sizeof(address.sun_path) - 1) +
           " bytes: " + path;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  switch (probeExisting(path, address)) {
    case Existing::kLive:
      return "a service already answers at " + path;
    case Existing::kNotSocket:
      return path + " exists and is not a socket; not replacing it";
    case Existing::kStale:
      ::unlink(path.c_str());
      break;
    case Existing::kNothing:
      break;
  }
  listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener) {
    return std::string("cannot create a socket: ") + std::strerror(errno);
  }
  // Only this user may connect: the mode is set as the file is created, with no window.
  const mode_t previousMask = ::umask(0177);
  const int bound =
      ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  const int bindErrno = errno;
  ::umask(previousMask);
  if (bound != 0) {
    return "cannot listen at " + path + ": " + std::strerror(bindErrno);
  }
  // Taken at once, before any other instance could replace the file.
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) {
    created = {path, status.st_dev, status.st_ino};
  }
  if (::listen(listener.get(), SOMAXCONN) != 0) {
    const int listenErrno = errno;
    created.removeIfOurs();
    created = {};
    return "cannot listen at " + path + ": " + std::strerror(listenErrno);
  }
  return std::nullopt;
}

}  // namespace printxpc
