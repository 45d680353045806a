#include "printxpc/client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/unique_fd.h"
#include "protocol/operations.h"
#include "protocol/transport.h"
#include "protocol/wire.h"

namespace printxpc {
namespace {

TransportFailure localFailure(std::string message) { return {0, std::move(message)}; }

TransportFailure failureFromErrorFrame(std::string_view payload) {
  const auto error = wire::parseErrorPayload(payload);
  if (!error) {
    return localFailure("the service sent a malformed error frame");
  }
  return {error->code, std::string(error->message)};
}

TransportFailure readFailure(wire::ReadStatus status) {
  switch (status) {
    case wire::ReadStatus::kEndOfStream:
    case wire::ReadStatus::kTruncated:
      return localFailure("the service closed the connection");
    case wire::ReadStatus::kIoError:
      return localFailure(std::string("cannot read from the service: ") + std::strerror(errno));
    default:
      return localFailure("the service sent a malformed frame");
  }
}

}  // namespace

struct ServiceClient::Connection {
  explicit Connection(UniqueFd socket) : fd(std::move(socket)), source(fd.get()), reader(source) {}

  // Reads the one frame that answers what was just sent.
  Result<wire::Frame> readAnswer() {
    wire::Frame frame;
    if (const auto status = reader.next(frame); status != wire::ReadStatus::kFrame) {
      return readFailure(status);
    }
    return frame;
  }

  // Why a send failed. A service that refuses a client (busy, permission-denied) closes the
  // connection right after its error frame, possibly before the client's frame arrived; the
  // error frame is then still waiting here and says more than the broken pipe.
  TransportFailure sendFailure(const std::string& what) {
    const int sendError = errno;
    if (sendError == EPIPE || sendError == ECONNRESET) {
      auto answer = readAnswer();
      const auto* frame = std::get_if<wire::Frame>(&answer);
      if (frame != nullptr && frame->kind == wire::FrameKind::kError) {
        return failureFromErrorFrame(frame->payload);
      }
    }
    return localFailure("cannot send " + what + ": " + std::strerror(sendError));
  }

  UniqueFd fd;
  transport::FdSource source;
  wire::FrameReader reader;
};

std::string defaultSocketPath(std::string_view buildName) {
  return transport::defaultSocketPath(buildName);
}

Result<ServiceClient> ServiceClient::connect(const std::string& socketPath,
                                             const std::string& protocolName) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof(address.sun_path)) {
    return localFailure("socket path is empty or too long: " + socketPath);
  }
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    return localFailure(std::string("cannot create a socket: ") + std::strerror(errno));
  }
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return localFailure("cannot connect to " + socketPath + ": " + std::strerror(errno));
  }
  auto connection = std::make_unique<Connection>(std::move(fd));
  if (!transport::sendFrame(connection->fd.get(), wire::FrameKind::kHello, protocolName)) {
    return connection->sendFailure("the handshake");
  }
  auto answer = connection->readAnswer();
  if (auto* failure = std::get_if<TransportFailure>(&answer)) {
    return std::move(*failure);
  }
  const auto& frame = std::get<wire::Frame>(answer);
  if (frame.kind == wire::FrameKind::kError) {
    return failureFromErrorFrame(frame.payload);
  }
  if (frame.kind != wire::FrameKind::kWelcome || frame.payload != protocolName) {
    return localFailure("the service answered the handshake with an unexpected frame");
  }
  return ServiceClient(std::move(connection));
}

ServiceClient::ServiceClient(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}
ServiceClient::ServiceClient(ServiceClient&& other) noexcept = default;
ServiceClient& ServiceClient::operator=(ServiceClient&& other) noexcept = default;
ServiceClient::~ServiceClient() = default;

int ServiceClient::fd() const { return connection_ ? connection_->fd.get() : -1; }

Result<std::string> ServiceClient::call(std::string_view selector, std::string_view request) {
  if (!connection_) {
    return localFailure("not connected");
  }
  const int fd = connection_->fd.get();
  // The wire always carries the full selector.
  std::string fullSelector(selector);
  if (const auto operation = findOperation(selector)) {
    fullSelector = selectorOf(*operation);
  }
  if (request.size() + fullSelector.size() + 2 > wire::kMaxPayload) {
    return TransportFailure{static_cast<std::uint16_t>(wire::TransportError::kFrameTooLarge),
                            "request larger than the frame limit"};
  }
  if (!transport::sendFrame(fd, wire::FrameKind::kRequest,
                            wire::encodeRequestPayload(fullSelector, request))) {
    return connection_->sendFailure("the request");
  }
  auto answer = connection_->readAnswer();
  if (auto* failure = std::get_if<TransportFailure>(&answer)) {
    return std::move(*failure);
  }
  auto& frame = std::get<wire::Frame>(answer);
  if (frame.kind == wire::FrameKind::kReply) {
    return std::move(frame.payload);
  }
  if (frame.kind == wire::FrameKind::kError) {
    return failureFromErrorFrame(frame.payload);
  }
  return localFailure("the service answered with an unexpected frame");
}

}  // namespace printxpc
