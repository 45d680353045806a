#include "printxpc/client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "common/unique_fd.h"
#include "printxpc/operations.h"
#include "protocol/default_paths.h"
#include "protocol/time_limits.h"
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

using Clock = std::chrono::steady_clock;

static_assert(kHandshakeTimeout == limits::kHandshake);

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

  // Receives what is there without waiting: bytes read, 0 at end, < 0 on error (EAGAIN when
  // nothing is there).
  ssize_t receiveSome() {
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
      const ssize_t got = ::recv(fd.get(), in.data() + end, in.size() - end, MSG_DONTWAIT);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got > 0) {
        end += static_cast<std::size_t>(got);
      }
      return got;
    }
  }

  // Waits until the socket is ready for `events` or the deadline passes (false).
  bool waitFor(short events, Clock::time_point deadline) const {
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        return false;
      }
      pollfd ready{fd.get(), events, 0};
      const int count =
          ::poll(&ready, 1, static_cast<int>(std::min<std::int64_t>(left.count(), INT_MAX)));
      if (count > 0) {
        return true;  // ready, or an error or hangup that the next call reports
      }
      if (count < 0 && errno != EINTR) {
        return true;
      }
    }
  }

  // The next frame: without a deadline only what has arrived (kNoReplyYet when that is not a
  // whole frame), with one waiting for it until then. `late` says what a wait in vain means.
  Result<wire::Frame> readFrame(std::optional<Clock::time_point> deadline,
                                const std::string& late) {
    wire::Frame frame;
    for (;;) {
      switch (takeFrame(frame)) {
        case Take::kFrame:
          return frame;
        case Take::kBad:
          return close(failure(ClientError::kProtocol, "the service sent a malformed frame"));
        case Take::kNeedMore:
          break;
      }
      const ssize_t got = receiveSome();
      if (got == 0) {
        return failure(ClientError::kIo, "the service closed the connection");
      }
      if (got > 0) {
        continue;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        return failure(ClientError::kIo, "cannot read from the service: " + errnoText());
      }
      if (!deadline) {
        return failure(ClientError::kNoReplyYet, "the next reply has not arrived");
      }
      if (!waitFor(POLLIN, *deadline)) {
        return close(failure(ClientError::kTimedOut, late));
      }
    }
  }

  // Writes the queued bytes: as far as the socket takes them without a deadline, all of them
  // (waiting until the deadline) with one.
  Status writeQueued(std::optional<Clock::time_point> deadline, const std::string& what,
                     const std::string& late) {
    while (outBegin < out.size()) {
      const ssize_t sent = ::send(fd.get(), out.data() + outBegin, out.size() - outBegin,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent >= 0) {
        outBegin += static_cast<std::size_t>(sent);
        continue;
      }
      if (errno == EINTR) {
        continue;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        return sendFailure(what, deadline.value_or(Clock::now()));
      }
      if (!deadline) {
        return {};
      }
      if (!waitFor(POLLOUT, *deadline)) {
        return close(failure(ClientError::kTimedOut, late));
      }
    }
    out.clear();
    outBegin = 0;
    return {};
  }

  // Why a send failed. A service that refuses a client (busy, permission-denied) closes the
  // connection right after its error frame, possibly before the client's frame arrived; the
  // error frame is then still waiting here and says more than the broken pipe.
  Error sendFailure(const std::string& what, Clock::time_point deadline) {
    const int sendError = errno;
    if (sendError == EPIPE || sendError == ECONNRESET) {
      const auto answer = readFrame(deadline, "");
      if (answer && answer->kind == wire::FrameKind::kError) {
        return failureFromErrorFrame(answer->payload);
      }
    }
    return failure(ClientError::kIo, "cannot send " + what + ": " + std::strerror(sendError));
  }

  // What a reply or error frame answers a request.
  Result<std::string> answerOf(wire::Frame& frame) {
    if (frame.kind == wire::FrameKind::kReply) {
      return std::move(frame.payload);
    }
    if (frame.kind == wire::FrameKind::kError) {
      return failureFromErrorFrame(frame.payload);
    }
    return close(failure(ClientError::kProtocol, "the service answered with an unexpected frame"));
  }

  // Fails when there is no connection, or it was closed after a timeout or a bad frame.
  static Status usable(const Connection* connection) {
    if (connection == nullptr) {
      return failure(ClientError::kInvalidArgument, "not connected");
    }
    if (!connection->fd) {
      return failure(ClientError::kIo, "the connection is closed: " + connection->closedBecause);
    }
    return {};
  }

  // Closes the connection for good: after a timeout or a malformed frame nothing that
  // follows on the stream can be matched to a request.
  Error close(Error why) {
    fd.reset();
    closedBecause = why.message;
    return why;
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
  std::chrono::milliseconds replyMargin = kDefaultReplyMargin;
  std::string closedBecause;  // set once the connection is closed
};

namespace {

// The request frame, with the full selector the wire always carries.
Result<std::string> requestFrame(std::string_view selector, std::string_view request) {
  std::string_view fullSelector = selector;
  if (const auto operation = findOperation(selector)) {
    fullSelector = selectorOf(*operation);
  }
  if (fullSelector.size() > wire::kMaxSelector) {
    return failure(ClientError::kInvalidArgument, "the selector is longer than 65,535 bytes");
  }
  if (request.size() + fullSelector.size() + 2 > wire::kMaxPayload) {
    return Error{errorCode(TransportError::kFrameTooLarge), "request larger than the frame limit"};
  }
  return wire::encodeFrame(wire::FrameKind::kRequest,
                           wire::encodeRequestPayload(fullSelector, request));
}

std::string secondsText(std::chrono::milliseconds time) {
  const auto ms = time.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

Result<std::string> defaultSocketPath(std::string_view buildName) {
  return paths::defaultSocketPath(buildName);
}

Result<std::string> defaultCancelFile() { return paths::defaultCancelFile(); }

Result<ServiceClient> ServiceClient::connect(const std::string& socketPath,
                                             const std::string& protocolName) {
  return connect(socketPath, protocolName, kHandshakeTimeout);
}

Result<ServiceClient> ServiceClient::connect(const std::string& socketPath,
                                             const std::string& protocolName,
                                             std::chrono::milliseconds handshakeTimeout) {
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
  const auto deadline = Clock::now() + handshakeTimeout;
  const std::string late = "the service at " + socketPath +
                           " did not answer the handshake within " + secondsText(handshakeTimeout);
  auto connection = std::make_unique<Connection>(std::move(fd));
  wire::appendFrame(connection->out, wire::FrameKind::kHello, protocolName);
  if (auto sent = connection->writeQueued(deadline, "the handshake", late); !sent) {
    return std::move(sent).error();
  }
  const auto answer = connection->readFrame(deadline, late);
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
  if (!connection_ || !connection_->fd) {
    return 0;
  }
  short events = connection_->pending > 0 ? POLLIN : 0;
  if (connection_->outBegin < connection_->out.size()) {
    events |= POLLOUT;
  }
  return events;
}

void ServiceClient::setReplyMargin(std::chrono::milliseconds margin) {
  if (connection_) {
    connection_->replyMargin = std::max(margin, std::chrono::milliseconds(0));
  }
}

Result<std::string> ServiceClient::call(std::string_view selector, std::string_view request) {
  if (auto open = Connection::usable(connection_.get()); !open) {
    return std::move(open).error();
  }
  if (connection_->pending > 0) {
    return failure(ClientError::kInvalidArgument,
                   "requests sent without waiting still have answers to collect");
  }
  const auto frame = requestFrame(selector, request);
  if (!frame) {
    return frame.error();
  }
  const auto wait = limits::longestRun(findOperation(selector), request) + connection_->replyMargin;
  const auto deadline = Clock::now() + wait;
  const std::string late =
      "no reply from the service within " + secondsText(wait) +
      " (the operation's longest run and the margin); the connection is closed";
  connection_->out += *frame;
  if (auto sent = connection_->writeQueued(deadline, "the request", late); !sent) {
    return std::move(sent).error();
  }
  auto answer = connection_->readFrame(deadline, late);
  if (!answer) {
    return std::move(answer).error();
  }
  return connection_->answerOf(*answer);
}

Status ServiceClient::send(std::string_view selector, std::string_view request) {
  if (auto open = Connection::usable(connection_.get()); !open) {
    return open;
  }
  const auto frame = requestFrame(selector, request);
  if (!frame) {
    return frame.error();
  }
  connection_->out += *frame;
  ++connection_->pending;
  return connection_->writeQueued(std::nullopt, "the request", "");
}

Result<std::string> ServiceClient::receive() {
  if (auto open = Connection::usable(connection_.get()); !open) {
    return std::move(open).error();
  }
  if (connection_->pending == 0) {
    return failure(ClientError::kInvalidArgument, "no request is waiting for its answer");
  }
  if (auto flushed = connection_->writeQueued(std::nullopt, "the request", ""); !flushed) {
    return std::move(flushed).error();
  }
  auto frame = connection_->readFrame(std::nullopt, "");
  if (!frame) {
    return std::move(frame).error();
  }
  --connection_->pending;
  return connection_->answerOf(*frame);
}

}  // namespace printxpc
