// Writing a whole buffer to a descriptor: files with write(2), sockets with send(2).
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

namespace printxpc::io {

// Hands the bytes to `writeSome` (called as write(2) is, with the bytes still to go) until
// all are written, retrying on EINTR and short writes. False on any other error.
template <typename WriteSome>
[[nodiscard]] bool writeWhole(std::string_view bytes, WriteSome writeSome) {
  while (!bytes.empty()) {
    const ssize_t written = writeSome(bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

[[nodiscard]] inline bool writeAll(int fd, std::string_view bytes) {
  return writeWhole(bytes,
                    [fd](const char* data, std::size_t size) { return ::write(fd, data, size); });
}

// Without SIGPIPE: a peer that went away is a failed write, not the end of the process.
[[nodiscard]] inline bool sendAll(int fd, std::string_view bytes) {
  return writeWhole(bytes, [fd](const char* data, std::size_t size) {
    return ::send(fd, data, size, MSG_NOSIGNAL);
  });
}

}  // namespace printxpc::io
