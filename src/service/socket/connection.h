// One client connection of the socket front: handshake, then requests answered in order,
// one answer each. The frames are translated here; the answers come from the core.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/operations.h"
#include "protocol/time_limits.h"
#include "protocol/wire.h"
#include "service/core/answer.h"

namespace printxpc {

// Answers one request of the connection (the core's Caller::perform in the service).
using AnswerRequest = std::function<Answer(Operation, std::string_view)>;

struct ConnectionSettings {
  std::string protocolName;  // "XPC_Protocol<suffix>"
  // A client that does not complete the handshake in this time, counted from the
  // connection, is dropped, so that a stuck or trickling peer cannot hold a slot forever.
  std::chrono::milliseconds handshakeTimeout = limits::kHandshake;
  // Between requests a client may wait as long as it likes, but a frame once begun must
  // arrive whole in this time: a stalled half frame would hold its memory for good.
  std::chrono::milliseconds frameTimeout{10000};
};

// Both directions of one connection: a socket in the service, buffers in fuzzing.
class ConnectionIo : public wire::ByteSource {
 public:
  // Writes all bytes; false when the peer can no longer be reached.
  virtual bool send(std::string_view bytes) = 0;
  // Reads fail once the deadline has passed; none: reads wait without bound.
  virtual void setReadDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) = 0;
};

// Serves the connection until the peer closes it, an answer ends it (busy, frame-too-large)
// or the stream can no longer be trusted. Frames beyond the standing buffer take their
// memory from `budget` (if any). Throws only what allocation throws (std::bad_alloc).
void serveConnection(ConnectionIo& io, const ConnectionSettings& settings,
                     const AnswerRequest& answer, wire::BufferBudget* budget = nullptr);

// The same on a connected socket; the caller owns and closes the descriptor.
void serveConnection(int fd, const ConnectionSettings& settings, const AnswerRequest& answer,
                     wire::BufferBudget* budget = nullptr);

}  // namespace printxpc
