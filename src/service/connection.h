// One client connection: handshake, then requests answered in order, one answer each.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/operations.h"

namespace printxpc {

// Answers one request; absent when the operation is not available in this version.
using RequestHandler = std::function<std::optional<std::string>(Operation, std::string_view)>;

struct ConnectionSettings {
  std::string protocolName;  // "XPC_Protocol<suffix>"
  // A client that does not complete the handshake in this time is dropped, so that a
  // stuck peer cannot hold a connection slot forever.
  std::chrono::milliseconds handshakeTimeout{10000};
};

// Serves the connected socket until the peer closes it or the stream can no longer be
// trusted. Never throws; the caller owns and closes the descriptor.
void serveConnection(int fd, const ConnectionSettings& settings, const RequestHandler& handler);

}  // namespace printxpc
