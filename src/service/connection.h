// One client connection: handshake, then requests answered in order, one answer each.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/operations.h"
#include "protocol/wire.h"

namespace printxpc {

// Answers one request; absent when the operation is not available in this version.
using RequestHandler = std::function<std::optional<std::string>(Operation, std::string_view)>;

struct ConnectionSettings {
  std::string protocolName;  // "XPC_Protocol<suffix>"
  // A client that does not complete the handshake in this time is dropped, so that a
  // stuck peer cannot hold a connection slot forever.
  std::chrono::milliseconds handshakeTimeout{10000};
};

// Both directions of one connection: a socket in the service, buffers in fuzzing.
class ConnectionIo : public wire::ByteSource {
 public:
  // Writes all bytes; false when the peer can no longer be reached.
  virtual bool send(std::string_view bytes) = 0;
  // Bounds the wait of each read; zero waits without bound.
  virtual void setReceiveTimeout(std::chrono::milliseconds timeout) = 0;
};

// Serves the connection until the peer closes it or the stream can no longer be trusted.
// Never throws.
void serveConnection(ConnectionIo& io, const ConnectionSettings& settings,
                     const RequestHandler& handler);

// The same on a connected socket; the caller owns and closes the descriptor.
void serveConnection(int fd, const ConnectionSettings& settings, const RequestHandler& handler);

}  // namespace printxpc
