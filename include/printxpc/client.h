// Client library of print-xpc-service: connects to a service build over its Unix socket,
// performs the protocol handshake and sends requests, one reply per request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace printxpc {

// A transport failure: never a reply string. `code` is the service's transport-error code
// (docs/protocol.md), or 0 when the failure happened on this side (connect, I/O).
struct TransportFailure {
  std::uint16_t code = 0;
  std::string message;
};

template <typename T>
using Result = std::variant<T, TransportFailure>;

// $XDG_RUNTIME_DIR/<build name>.sock, or /tmp/<build name>-<uid>.sock without XDG_RUNTIME_DIR.
std::string defaultSocketPath(std::string_view buildName);

class ServiceClient {
 public:
  // Connects and performs the handshake for the protocol name ("XPC_Protocol<suffix>").
  static Result<ServiceClient> connect(const std::string& socketPath,
                                       const std::string& protocolName);

  ServiceClient(ServiceClient&& other) noexcept;
  ServiceClient& operator=(ServiceClient&& other) noexcept;
  ServiceClient(const ServiceClient&) = delete;
  ServiceClient& operator=(const ServiceClient&) = delete;
  ~ServiceClient();

  // Sends one request and waits for its answer. `selector` is the operation's selector,
  // with or without ":reply:" ("isFilePathWritable_XPC:reply:").
  Result<std::string> call(std::string_view selector, std::string_view request);

  // The connected socket (for polling, or to shut it down from another thread).
  int fd() const;

 private:
  struct Connection;
  explicit ServiceClient(std::unique_ptr<Connection> connection);
  std::unique_ptr<Connection> connection_;
};

}  // namespace printxpc
