#include "protocol/transport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace printxpc::transport {

std::ptrdiff_t FdSource::read(std::span<std::uint8_t> into) {
  for (;;) {
    const ssize_t got = ::recv(fd_, into.data(), into.size(), 0);
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool sendFrame(int fd, wire::FrameKind kind, std::string_view payload) {
  return sendAll(fd, wire::encodeFrame(kind, payload));
}

bool sendError(int fd, wire::TransportError error, std::string_view message) {
  return sendFrame(fd, wire::FrameKind::kError, wire::encodeErrorPayload(error, message));
}

}  // namespace printxpc::transport
