// Socket plumbing shared by the service and the client: reading frames from a descriptor,
// writing whole buffers.
#pragma once

#include <string>
#include <string_view>

#include "common/write_all.h"
#include "protocol/wire.h"

namespace printxpc::transport {

// Reads from a socket, retrying on EINTR.
class FdSource : public wire::ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  std::ptrdiff_t read(std::span<std::uint8_t> into) override;

 private:
  int fd_;
};

// Writes all bytes (retrying on EINTR and short writes) without raising SIGPIPE.
using io::sendAll;

[[nodiscard]] bool sendFrame(int fd, wire::FrameKind kind, std::string_view payload);
[[nodiscard]] bool sendError(int fd, wire::TransportError error, std::string_view message);

}  // namespace printxpc::transport
