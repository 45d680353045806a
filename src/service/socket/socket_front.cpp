#include "service/socket/socket_front.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "common/peer_rule.h"
#include "common/poll_timeout.h"
#include "protocol/transport.h"
#include "service/core/exit_status.h"

namespace printxpc {
namespace {

using Clock = std::chrono::steady_clock;

// How long the listener rests when descriptors ran out and no peer could be refused.
constexpr std::chrono::milliseconds kAcceptRest{100};

UniqueFd openReserve() { return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC | O_NOCTTY)); }

void refuse(int fd, std::string_view message) {
  (void)transport::sendError(fd, wire::TransportError::kBusy, message);  // closed next anyway
}

}  // namespace

Result<std::unique_ptr<SocketFront>> SocketFront::start(ServiceCore& core, UniqueFd listener,
                                                        SocketFile ownedFile,
                                                        ConnectionSettings settings) {
  auto front = std::make_unique<SocketFront>(core, std::move(listener), std::move(ownedFile),
                                             std::move(settings));
  if (!front->wakeup_.valid()) {
    front->ownedFile_.removeIfOurs();
    return Error{kExitFailure,
                 std::string("cannot make an eventfd: ") + std::strerror(front->wakeup_.error())};
  }
  try {
    front->listenerThread_ = std::thread([raw = front.get()] { raw->run(); });
  } catch (const std::system_error& error) {
    front->ownedFile_.removeIfOurs();
    return Error{kExitFailure, std::string("cannot start the listener thread: ") + error.what()};
  }
  core.attach([raw = front.get()] { raw->stopTaking(); });
  return front;
}

SocketFront::SocketFront(ServiceCore& core, UniqueFd listener, SocketFile ownedFile,
                         ConnectionSettings settings)
    : core_(core),
      listener_(std::move(listener)),
      ownedFile_(std::move(ownedFile)),
      settings_(std::move(settings)),
      reserve_(openReserve()) {
  // A peer that leaves between poll and accept must not leave the loop blocked in accept.
  ::fcntl(listener_.get(), F_SETFL, ::fcntl(listener_.get(), F_GETFL) | O_NONBLOCK);
}

SocketFront::~SocketFront() {
  stopTaking();
  const std::lock_guard lock(mutex_);
  for (auto& connection : connections_) {
    connection->thread.join();
  }
}

std::size_t SocketFront::connections() const {
  const std::lock_guard lock(mutex_);
  return connections_.size();
}

void SocketFront::stopListening() {
  stopListening_ = true;
  wakeup_.notify();
  if (listenerThread_.joinable()) {
    listenerThread_.join();
  }
}

void SocketFront::stopTaking() {
  stopListening();
  if (listener_) {
    listener_.reset();
    ownedFile_.removeIfOurs();
  }
  // Readers see the end of their stream once the request in progress is answered.
  const std::lock_guard lock(mutex_);
  for (auto& connection : connections_) {
    ::shutdown(connection->socket.get(), SHUT_RD);
  }
}

void SocketFront::run() {
  while (!stopListening_) {
    if (acceptResumes_ && Clock::now() >= *acceptResumes_) {
      acceptResumes_.reset();
    }
    // A negative descriptor is skipped by poll: the listener rests.
    pollfd fds[2] = {{acceptResumes_ ? -1 : listener_.get(), POLLIN, 0}, {wakeup_.fd(), POLLIN, 0}};
    const int timeout = acceptResumes_ ? pollTimeout(*acceptResumes_) : -1;
    if (::poll(fds, 2, timeout) < 0 && errno != EINTR) {
      return;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      wakeup_.drain();
      reapFinished();
      acceptResumes_.reset();  // a connection may have ended and freed its descriptor
    }
    if ((fds[0].revents & POLLIN) != 0 && !stopListening_) {
      acceptOne();
    }
  }
}

void SocketFront::acceptOne() {
  if (!reserve_) {
    reserve_ = openReserve();  // lost while descriptors were short: it comes first
  }
  UniqueFd socket(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!socket) {
    if (errno == EMFILE || errno == ENFILE) {
      refuseForLackOfDescriptors();
    }
    return;  // otherwise the peer left before we got to it
  }
  const auto peer = peer::ofSocket(socket.get());
  if (!peer || !peer::trusted(peer->uid)) {
    core_.refused(Front::kSocket, peer);
    (void)transport::sendError(socket.get(), wire::TransportError::kPermissionDenied,
                               "this service serves only its own user");  // closed next anyway
    return;
  }
  admit(std::move(socket), peer->uid);
}

// Out of descriptors, the waiting peer cannot be accepted: it would get no answer, and the
// listener would stay readable, so the loop would spin. The reserve descriptor makes room
// to accept it and say why; when even that fails, the listener rests for a while.
void SocketFront::refuseForLackOfDescriptors() {
  reserve_.reset();
  bool refused = false;
  if (const UniqueFd socket(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)); socket) {
    refuse(socket.get(), "the service is out of file descriptors; try again later");
    refused = true;
  }  // closed here, so that the reserve can take its place again
  reserve_ = openReserve();
  if (!refused || !reserve_) {
    acceptResumes_ = Clock::now() + kAcceptRest;
  }
}

void SocketFront::admit(UniqueFd socket, uid_t uid) {
  auto caller = core_.admit(Front::kSocket, uid);
  if (!caller) {
    refuse(socket.get(), caller.error().message);
    return;
  }
  const std::lock_guard lock(mutex_);
  auto& connection = *connections_.emplace_back(std::make_unique<Connection>());
  connection.socket = std::move(socket);
  try {
    connection.thread = std::thread([this, &connection, admitted = std::move(*caller)]() mutable {
      serve(connection, std::move(admitted));
    });
  } catch (const std::system_error&) {
    // Out of threads (the process limit, or memory): this peer may come back later. The
    // place went back with the lambda that would have taken it.
    refuse(connection.socket.get(), "the service cannot start a thread now; try again later");
    connections_.pop_back();
  }
}

void SocketFront::serve(Connection& connection, ServiceCore::Caller caller) {
  const int fd = connection.socket.get();
  try {
    const AnswerRequest answer = [&caller](Operation operation, std::string_view request) {
      return caller.perform(operation, request);
    };
    serveConnection(fd, settings_, answer, &core_.budget());
  } catch (const std::exception& error) {
    // The connection's own buffers could not be had: the core's answer to that, after which
    // the connection ends; the service goes on serving the others.
    (void)transport::sendError(fd, wire::TransportError::kBusy,
                               caller.failed(error).error().message);
  }
  connection.finished = true;
  wakeup_.notify();
}

void SocketFront::reapFinished() {
  std::list<std::unique_ptr<Connection>> finished;
  {
    const std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if ((*it)->finished) {
        finished.splice(finished.end(), connections_, it);
      }
      it = next;
    }
  }
  for (auto& connection : finished) {
    connection->thread.join();
  }
}

}  // namespace printxpc
