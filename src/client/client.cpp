#include "printxpc/client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "common/unique_fd.h"
#include "printxpc/operations.h"
#include "protocol/default_paths.h"
#include "protocol/transport.h"
#include "protocol/wire.h"

namespace printxpc {
namespace {

Error failure(ClientError error, std::string message) {
  return {errorCode(error), std::move(message)};
}

std::string errnoText() { return std::strerror(errno); }

Error failureFromErrorFrame(std::string_view payload) {
  const auto error = wire::parseErrorPayload(payload);
  if (!error) {
    return failure(ClientError::kProtocol, "the service sent a malformed error frame");
  }
  return {error->code, std::string(error->message)};
}

// The uid at the other end must be ours or root's: anyone may have bound the path first.
Status checkServer(int fd, const std::string& socketPath) {
  ucred credentials{};
  socklen_t length = sizeof(credentials);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return failure(ClientError::kServerNotTrusted,
                   "cannot learn who serves " + socketPath + ": " + errnoText());
  }
  const uid_t self = ::geteuid();
  if (credentials.uid == self || credentials.uid == 0) {
    return {};
  }
  return failure(ClientError::kServerNotTrusted,
                 "server not trusted: " + socketPath + " is served by uid " +
                     std::to_string(credentials.uid) + ", neither this user (uid " +
                     std::to_string(self) + ") nor root");
}

}  // namespace

// The socket with what has been received but not taken and what is queued but not sent.
struct ServiceClient::Connection {
  explicit Connection(UniqueFd socket) : fd(std::move(socket)) {}

  enum class Take { kFrame, kNeedMore, kBad };

  // A whole frame from the bytes received, if they hold one.
  Take takeFrame(wire::Frame& frame) {
    const std::size_t available = end - begin;
    if (available < wire::kHeaderSize) {
      return Take::kNeedMore;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(in.data() + begin);
    wire::Header header;
    if (wire::parseHeader(
            std::span<const std::uint8_t, wire::kHeaderSize>(bytes, wire::kHeaderSize), header) !=
        wire::HeaderStatus::kOk) {
      return Take::kBad;
    }
    if (available - wire::kHeaderSize < header.length) {
      return Take::kNeedMore;
    }
    frame.kind = header.kind;
    frame.payload.assign(in.data() + begin + wire::kHeaderSize, header.length);
    begin += wire::kHeaderSize + header.length;
    return Take::kFrame;
  }

  // Receives what is there (or waits for something): bytes read, 0 at end, < 0 on error.
  ssize_t receiveSome(bool wait) {
    if (begin == end) {
      begin = end = 0;
    }
    if (in.size() - end < kMinRead) {
      // Nothing to move when the data starts the buffer; an empty buffer's data() is null,
      // which memmove must not be given even for zero bytes.
      if (begin != 0) {
        std::memmove(in.data(), in.data() + begin, end - begin);
        end -= begin;
        begin = 0;
      }
      if (in.size() - end < kMinRead) {
        in.resize(std::max(in.size() * 2, kInitialBuffer));
      }
    }
    for (;;) {
      const ssize_t got =
          ::recv(fd.get(), in.data() + end, in.size() - end, wait ? 0 : MSG_DONTWAIT);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got > 0) {
        end += static_cast<std::size_t>(got);
      }
      return got;
    }
  }

  // The next frame, waiting for it.
  Result<wire::Frame> readFrame() {
    wire::Frame frame;
    for (;;) {
      switch (takeFrame(frame)) {
        case Take::kFrame:
          return frame;
        case Take::kBad:
          return failure(ClientError::kProtocol, "the service sent a malformed frame");
        case Take::kNeedMore:
          break;
      }
      const ssize_t got = receiveSome(true);
      if (got == 0) {
        return failure(ClientError::kIo, "the service closed the connection");
      }
      if (got < 0) {
        return failure(ClientError::kIo, "cannot read from the service: " + errnoText());
      }
    }
  }

  // Writes queued bytes as far as the socket takes them without waiting.
  Status flush() {
    while (outBegin < out.size()) {
      const ssize_t sent = ::send(fd.get(), out.data() + outBegin, out.size() - outBegin,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0) {
        if (errno == EINTR) {
          continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          return {};
        }
        return failure(ClientError::kIo, "cannot send the request: " + errnoText());
      }
      outBegin += static_cast<std::size_t>(sent);
    }
    out.clear();
    outBegin = 0;
    return {};
  }

  // Why a send failed. A service that refuses a client (busy, permission-denied) closes the
  // connection right after its error frame, possibly before the client's frame arrived; the
  // error frame is then still waiting here and says more than the broken pipe.
  Error sendFailure(const std::string& what) {
    const int sendError = errno;
    if (sendError == EPIPE || sendError == ECONNRESET) {
      const auto answer = readFrame();
      if (answer && answer->kind == wire::FrameKind::kError) {
        return failureFromErrorFrame(answer->payload);
      }
    }
    return failure(ClientError::kIo, "cannot send " + what + ": " + std::strerror(sendError));
  }

  static constexpr std::size_t kInitialBuffer = std::size_t{64} * 1024;
  static constexpr std::size_t kMinRead = std::size_t{4} * 1024;

  UniqueFd fd;
  std::vector<char> in;
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string out;
  std::size_t outBegin = 0;
  std::size_t pending = 0;
};

namespace {

// What a reply or error frame answers a request.
Result<std::string> answerOf(wire::Frame& frame) {
  if (frame.kind == wire::FrameKind::kReply) {
    return std::move(frame.payload);
  }
  if (frame.kind == wire::FrameKind::kError) {
    return failureFromErrorFrame(frame.payload);
  }
  return failure(ClientError::kProtocol, "the service answered with an unexpected frame");
}

// The request frame, with the full selector the wire always carries.
Result<std::string> requestFrame(std::string_view selector, std::string_view request) {
  std::string_view fullSelector = selector;
  if (const auto operation = findOperation(selector)) {
    fullSelector = selectorOf(*operation);
  }
  if (request.size() + fullSelector.size() + 2 > wire::kMaxPayload) {
    return Error{errorCode(TransportError::kFrameTooLarge), "request larger than the frame limit"};
  }
  return wire::encodeFrame(wire::FrameKind::kRequest,
                           wire::encodeRequestPayload(fullSelector, request));
}

}  // namespace

Result<std::string> defaultSocketPath(std::string_view buildName) {
  return paths::defaultSocketPath(buildName);
}

Result<std::string> defaultCancelFile() { return paths::defaultCancelFile(); }

Result<ServiceClient> ServiceClient::connect(const std::string& socketPath,
                                             const std::string& protocolName) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof(address.sun_path)) {
    return failure(ClientError::kInvalidArgument,
                   "socket path is empty or too long: " + socketPath);
  }
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    return failure(ClientError::kCannotConnect, "cannot create a socket: " + errnoText());
  }
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return failure(ClientError::kCannotConnect,
                   "cannot connect to " + socketPath + ": " + errnoText());
  }
  if (auto trusted = checkServer(fd.get(), socketPath); !trusted) {
    return std::move(trusted).error();
  }
  auto connection = std::make_unique<Connection>(std::move(fd));
  if (!transport::sendFrame(connection->fd.get(), wire::FrameKind::kHello, protocolName)) {
    return connection->sendFailure("the handshake");
  }
  const auto answer = connection->readFrame();
  if (!answer) {
    return answer.error();
  }
  const auto& frame = *answer;
  if (frame.kind == wire::FrameKind::kError) {
    return failureFromErrorFrame(frame.payload);
  }
  if (frame.kind != wire::FrameKind::kWelcome || frame.payload != protocolName) {
    return failure(ClientError::kProtocol,
                   "the service answered the handshake with an unexpected frame");
  }
  return ServiceClient(std::move(connection));
}

ServiceClient::ServiceClient(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}
ServiceClient::ServiceClient(ServiceClient&& other) noexcept = default;
ServiceClient& ServiceClient::operator=(ServiceClient&& other) noexcept = default;
ServiceClient::~ServiceClient() = default;

int ServiceClient::fd() const { return connection_ ? connection_->fd.get() : -1; }

std::size_t ServiceClient::pending() const { return connection_ ? connection_->pending : 0; }

short ServiceClient::pollEvents() const {
  if (!connection_) {
    return 0;
  }
  short events = connection_->pending > 0 ? POLLIN : 0;
  if (connection_->outBegin < connection_->out.size()) {
    events |= POLLOUT;
  }
  return events;
}

Result<std::string> ServiceClient::call(std::string_view selector, std::string_view request) {
  if (!connection_) {
    return failure(ClientError::kInvalidArgument, "not connected");
  }
  if (connection_->pending > 0) {
    return failure(ClientError::kInvalidArgument,
                   "requests sent without waiting still have answers to collect");
  }
  const auto frame = requestFrame(selector, request);
  if (!frame) {
    return frame.error();
  }
  if (!transport::sendAll(connection_->fd.get(), *frame)) {
    return connection_->sendFailure("the request");
  }
  auto answer = connection_->readFrame();
  if (!answer) {
    return std::move(answer).error();
  }
  return answerOf(*answer);
}

Status ServiceClient::send(std::string_view selector, std::string_view request) {
  if (!connection_) {
    return failure(ClientError::kInvalidArgument, "not connected");
  }
  const auto frame = requestFrame(selector, request);
  if (!frame) {
    return frame.error();
  }
  connection_->out += *frame;
  ++connection_->pending;
  return connection_->flush();
}

Result<std::string> ServiceClient::receive() {
  if (!connection_ || connection_->pending == 0) {
    return failure(ClientError::kInvalidArgument, "no request is waiting for its answer");
  }
  if (auto flushed = connection_->flush(); !flushed) {
    return std::move(flushed).error();
  }
  wire::Frame frame;
  for (;;) {
    switch (connection_->takeFrame(frame)) {
      case Connection::Take::kFrame:
        --connection_->pending;
        return answerOf(frame);
      case Connection::Take::kBad:
        return failure(ClientError::kProtocol, "the service sent a malformed frame");
      case Connection::Take::kNeedMore:
        break;
    }
    const ssize_t got = connection_->receiveSome(false);
    if (got == 0) {
      return failure(ClientError::kIo, "the service closed the connection");
    }
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return failure(ClientError::kNoReplyYet, "the next reply has not arrived");
      }
      return failure(ClientError::kIo, "cannot read from the service: " + errnoText());
    }
  }
}

}  // namespace printxpc
