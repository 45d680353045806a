// C++ client of print-xpc-service: connects to a service build over its Unix socket, checks
// that the service runs as this user or root, performs the handshake and sends requests,
// one reply per request, either waiting for each or with several in flight.
//
// This API is C++ visible in headers: it is not ABI-stable across releases of the library
// (rebuild against new headers). The C API of printxpc.h is the stable interface.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "printxpc/errors.h"
#include "printxpc/result.h"
#include "printxpc/visibility.h"

namespace printxpc {

// Every failure is an Error (printxpc/result.h), never a reply string: its code is a
// TransportError sent by the service or a ClientError found on this side, and
// errorName(code) names it.

// $XDG_RUNTIME_DIR/<build name>.sock. Without XDG_RUNTIME_DIR the socket lives in the
// private directory /tmp/print-xpc-<uid>, created with mode 0700 and refused (kUnsafeDirectory)
// unless it is a real directory of this user that nobody else can enter.
PRINTXPC_API Result<std::string> defaultSocketPath(std::string_view buildName);

// The cancel file print-xpc-call uses when none is named, in the same directory.
PRINTXPC_API Result<std::string> defaultCancelFile();

// How long connect() waits for the service's handshake unless told otherwise. At namespace
// scope (internal linkage): a static member of the exported class would be an exported
// symbol of the library with some compilers.
constexpr std::chrono::milliseconds kHandshakeTimeout{10000};

class PRINTXPC_API ServiceClient {
 public:
  // Connects, checks the server's credentials (its uid must be this user's or root's, else
  // kServerNotTrusted before anything is sent) and performs the handshake for the protocol
  // name ("XPC_Protocol<suffix>").
  // The service must answer the handshake within kHandshakeTimeout (or the time given), else
  // kTimedOut.
  static Result<ServiceClient> connect(const std::string& socketPath,
                                       const std::string& protocolName);
  static Result<ServiceClient> connect(const std::string& socketPath,
                                       const std::string& protocolName,
                                       std::chrono::milliseconds handshakeTimeout);

  ServiceClient(ServiceClient&& other) noexcept;
  ServiceClient& operator=(ServiceClient&& other) noexcept;
  ServiceClient(const ServiceClient&) = delete;
  ServiceClient& operator=(const ServiceClient&) = delete;
  ~ServiceClient();

  // Sends one request and waits for its answer. `selector` is the operation's selector,
  // with or without ":reply:" ("isFilePathWritable_XPC:reply:"); one longer than 65,535
  // bytes is refused (kInvalidArgument), and so is a call while requests sent with send()
  // are still waiting for receive(). The wait is bounded by the longest the operation may
  // run in the service (a GET 60 s, an echo its timeout, any other 5 s) plus the reply
  // margin; past it the call fails with kTimedOut and the connection is closed: every later
  // call fails with kIo.
  Result<std::string> call(std::string_view selector, std::string_view request);

  // The reply margin (initially kDefaultReplyMargin), added to each blocking wait.
  void setReplyMargin(std::chrono::milliseconds margin);
  static constexpr std::chrono::milliseconds kDefaultReplyMargin{5000};

  // Non-blocking use, for main loops: send() queues a request and writes what the socket
  // takes without waiting; receive() collects the next answer, in the order of the
  // requests, or ClientError::kNoReplyYet when it has not arrived whole yet. Wait for
  // pollEvents() on fd() between calls.
  Status send(std::string_view selector, std::string_view request);
  Result<std::string> receive();
  // POLLIN while answers are due, POLLOUT while queued requests wait for the socket.
  short pollEvents() const;
  // Requests sent whose answers were not collected yet.
  std::size_t pending() const;

  // The connected socket (for polling, or to shut it down from another thread); -1 once
  // the connection is closed.
  int fd() const;

 private:
  struct Connection;
  explicit ServiceClient(std::unique_ptr<Connection> connection);
  std::unique_ptr<Connection> connection_;
};

}  // namespace printxpc
