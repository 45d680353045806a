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

bool sendFrame(int fd, wire::FrameKind kind, std::string_view payload) {
  return sendAll(fd, wire::encodeFrame(kind, payload));
}

bool sendError(int fd, wire::TransportError error, std::string_view message) {
  return sendFrame(fd, wire::FrameKind::kError, wire::encodeErrorPayload(error, message));
}

}  // namespace printxpc::transport
