#include "service/connection.h"

#include <sys/socket.h>
#include <sys/time.h>

#include "protocol/text.h"
#include "protocol/transport.h"
#include "protocol/wire.h"

namespace printxpc {
namespace {

using wire::FrameKind;
using wire::ReadStatus;
using wire::TransportError;

void setReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof(value));
}

// Tells the peer why its frame cannot be read, where the peer can still hear it.
void reportUnreadable(int fd, ReadStatus status) {
  switch (status) {
    case ReadStatus::kUnknownKind:
      transport::sendError(fd, TransportError::kMalformedFrame, "unknown frame kind");
      return;
    case ReadStatus::kTooLarge:
      transport::sendError(fd, TransportError::kFrameTooLarge,
                           "frame payload above " + std::to_string(wire::kMaxPayload) + " bytes");
      return;
    default:
      return;  // the peer is gone or timed out: nobody to tell
  }
}

bool handshake(int fd, wire::FrameReader& reader, const ConnectionSettings& settings) {
  setReceiveTimeout(fd, settings.handshakeTimeout);
  wire::Frame frame;
  if (const ReadStatus status = reader.next(frame); status != ReadStatus::kFrame) {
    reportUnreadable(fd, status);
    return false;
  }
  if (frame.kind != FrameKind::kHello) {
    transport::sendError(fd, TransportError::kHandshakeRequired,
                         "the first frame must be a hello naming the protocol");
    return false;
  }
  if (frame.payload != settings.protocolName) {
    transport::sendError(fd, TransportError::kProtocolMismatch,
                         "this service speaks " + settings.protocolName);
    return false;
  }
  setReceiveTimeout(fd, std::chrono::milliseconds(0));
  return transport::sendFrame(fd, FrameKind::kWelcome, settings.protocolName);
}

// Handles one request frame; false when the connection must end.
bool answerRequest(int fd, const wire::Frame& frame, const RequestHandler& handler) {
  if (frame.kind != FrameKind::kRequest) {
    transport::sendError(fd, TransportError::kMalformedFrame, "expected a request frame");
    return false;
  }
  const auto payload = wire::parseRequestPayload(frame.payload);
  if (!payload) {
    transport::sendError(fd, TransportError::kMalformedFrame, "malformed request payload");
    return false;
  }
  const auto operation = findOperation(payload->selector);
  if (!operation) {
    return transport::sendError(fd, TransportError::kUnknownOperation,
                                "no operation named '" + std::string(payload->selector) + "'");
  }
  if (!text::isValidUtf8(payload->request)) {
    return transport::sendError(fd, TransportError::kInvalidUtf8,
                                "the request string is not valid UTF-8");
  }
  const auto reply = handler(*operation, payload->request);
  if (!reply) {
    return transport::sendError(
        fd, TransportError::kNotAvailable,
        std::string(selectorOf(*operation)) + " is not available in this version of the service");
  }
  return transport::sendFrame(fd, FrameKind::kReply, *reply);
}

}  // namespace

void serveConnection(int fd, const ConnectionSettings& settings, const RequestHandler& handler) {
  transport::FdSource source(fd);
  wire::FrameReader reader(source);
  if (!handshake(fd, reader, settings)) {
    return;
  }
  wire::Frame frame;
  for (;;) {
    const ReadStatus status = reader.next(frame);
    if (status != ReadStatus::kFrame) {
      reportUnreadable(fd, status);
      return;
    }
    if (!answerRequest(fd, frame, handler)) {
      return;
    }
  }
}

}  // namespace printxpc
