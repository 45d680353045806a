#include "service/socket/connection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "protocol/text.h"
#include "protocol/transport.h"

namespace printxpc {
namespace {

using Clock = std::chrono::steady_clock;
using wire::FrameKind;
using wire::ReadStatus;
using wire::TransportError;

class SocketIo final : public ConnectionIo {
 public:
  explicit SocketIo(int fd) : fd_(fd), source_(fd) {}

  std::ptrdiff_t read(std::span<std::uint8_t> into) override {
    if (deadline_ && !readableInTime()) {
      errno = ETIMEDOUT;
      return -1;
    }
    return source_.read(into);
  }
  bool send(std::string_view bytes) override { return transport::sendAll(fd_, bytes); }
  void setReadDeadline(std::optional<Clock::time_point> deadline) override { deadline_ = deadline; }

 private:
  bool readableInTime() const {
    for (;;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
      pollfd readable{fd_, POLLIN, 0};
      const int ready =
          ::poll(&readable, 1, static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
      if (ready > 0) {
        return true;
      }
      if (ready == 0 || errno != EINTR) {
        return false;
      }
    }
  }

  int fd_;
  transport::FdSource source_;
  std::optional<Clock::time_point> deadline_;
};

bool sendFrame(ConnectionIo& io, FrameKind kind, std::string_view payload) {
  return io.send(wire::encodeFrame(kind, payload));
}

bool sendError(ConnectionIo& io, TransportError error, std::string_view message) {
  return sendFrame(io, FrameKind::kError, wire::encodeErrorPayload(error, message));
}

// Tells the peer why its frame cannot be read, where the peer can still hear it.
void reportUnreadable(ConnectionIo& io, ReadStatus status) {
  switch (status) {
    case ReadStatus::kUnknownKind:
      sendError(io, TransportError::kMalformedFrame, "unknown frame kind");
      return;
    case ReadStatus::kTooLarge:
      sendError(io, TransportError::kFrameTooLarge,
                "frame payload above " + std::to_string(wire::kMaxPayload) + " bytes");
      return;
    case ReadStatus::kOverBudget:
      sendError(io, TransportError::kBusy,
                "the service holds too much unfinished data from its clients; try again later");
      return;
    default:
      return;  // the peer is gone or timed out: nobody to tell
  }
}

bool handshake(ConnectionIo& io, wire::FrameReader& reader, const ConnectionSettings& settings) {
  io.setReadDeadline(Clock::now() + settings.handshakeTimeout);
  wire::Frame frame;
  if (const ReadStatus status = reader.next(frame); status != ReadStatus::kFrame) {
    reportUnreadable(io, status);
    return false;
  }
  if (frame.kind != FrameKind::kHello) {
    sendError(io, TransportError::kHandshakeRequired,
              "the first frame must be a hello naming the protocol");
    return false;
  }
  if (frame.payload != settings.protocolName) {
    sendError(io, TransportError::kProtocolMismatch,
              "this service speaks " + settings.protocolName);
    return false;
  }
  return sendFrame(io, FrameKind::kWelcome, settings.protocolName);
}

// Handles one request frame; false when the connection must end.
bool answerRequest(ConnectionIo& io, const wire::Frame& frame, const AnswerRequest& answer) {
  if (frame.kind != FrameKind::kRequest) {
    sendError(io, TransportError::kMalformedFrame, "expected a request frame");
    return false;
  }
  const auto payload = wire::parseRequestPayload(frame.payload);
  if (!payload) {
    sendError(io, TransportError::kMalformedFrame, "malformed request payload");
    return false;
  }
  const auto operation = findOperation(payload->selector);
  if (!operation) {
    return sendError(io, TransportError::kUnknownOperation,
                     "no operation named '" + std::string(payload->selector) + "'");
  }
  if (!text::isValidUtf8(payload->request)) {
    return sendError(io, TransportError::kInvalidUtf8, "the request string is not valid UTF-8");
  }
  const Answer answered = answer(*operation, payload->request);
  if (!answered) {
    const Error& error = answered.error();
    return sendFrame(
               io, FrameKind::kError,
               wire::encodeErrorPayload(static_cast<TransportError>(error.code), error.message)) &&
           !endsConnection(error.code);
  }
  return sendFrame(io, FrameKind::kReply, *answered);
}

// Waits for the next request as long as the client likes; once it begins, it must arrive
// whole in time.
ReadStatus nextRequest(ConnectionIo& io, wire::FrameReader& reader,
                       const ConnectionSettings& settings, wire::Frame& frame) {
  reader.recycle(frame);
  io.setReadDeadline(std::nullopt);
  if (const ReadStatus status = reader.awaitBytes(); status != ReadStatus::kFrame) {
    return status;
  }
  io.setReadDeadline(Clock::now() + settings.frameTimeout);
  return reader.next(frame);
}

}  // namespace

void serveConnection(ConnectionIo& io, const ConnectionSettings& settings,
                     const AnswerRequest& answer, wire::BufferBudget* budget) {
  wire::FrameReader reader(io, budget);
  if (!handshake(io, reader, settings)) {
    return;
  }
  wire::Frame frame;
  for (;;) {
    const ReadStatus status = nextRequest(io, reader, settings, frame);
    if (status != ReadStatus::kFrame) {
      reportUnreadable(io, status);
      return;
    }
    if (!answerRequest(io, frame, answer)) {
      return;
    }
  }
}

void serveConnection(int fd, const ConnectionSettings& settings, const AnswerRequest& answer,
                     wire::BufferBudget* budget) {
  SocketIo io(fd);
  serveConnection(io, settings, answer, budget);
}

}  // namespace printxpc
