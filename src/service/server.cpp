#include "service/server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "common/log.h"
#include "protocol/transport.h"
#include "service/service_log.h"

namespace printxpc {
namespace {

using Clock = std::chrono::steady_clock;

// Whether the peer may use the service: its own user or root. Anyone else could have the
// service write files as this user.
bool peerAllowed(int fd) {
  ucred credentials{};
  socklen_t length = sizeof(credentials);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return false;
  }
  return credentials.uid == ::geteuid() || credentials.uid == 0;
}

int pollTimeout(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count() + 1, 0, 60000));
}

void drainEventFd(int fd) {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t ignored = ::read(fd, &count, sizeof(count));
}

}  // namespace

Server::Server(UniqueFd listener, std::string ownedPath, ServerSettings settings,
               HandlerFactory makeHandler)
    : listener_(std::move(listener)),
      ownedPath_(std::move(ownedPath)),
      settings_(std::move(settings)),
      makeHandler_(std::move(makeHandler)),
      wakeup_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Server::~Server() {
  requestStop();
  shutdownReaders();
  const std::lock_guard lock(mutex_);
  for (auto& connection : connections_) {
    connection->thread.join();
  }
}

void Server::notify() const {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(wakeup_.get(), &one, sizeof(one));
}

void Server::requestStop() {
  stopRequested_ = true;
  notify();
}

std::size_t Server::activeConnections() const {
  const std::lock_guard lock(mutex_);
  return connections_.size();
}

Server::Outcome Server::run(int signalFd) {
  auto idleSince = Clock::now();
  while (!stopRequested_) {
    const bool idle = activeConnections() == 0;
    const bool idleExit = settings_.idleExit.count() > 0;
    if (idle && idleExit && settings_.otherActivity) {
      idleSince = std::max(idleSince, settings_.otherActivity());
    }
    if (idle && idleExit && Clock::now() - idleSince >= settings_.idleExit) {
      break;
    }
    pollfd fds[3] = {
        {listener_.get(), POLLIN, 0}, {wakeup_.get(), POLLIN, 0}, {signalFd, POLLIN, 0}};
    const int timeout = idle && idleExit ? pollTimeout(idleSince + settings_.idleExit) : -1;
    if (::poll(fds, signalFd >= 0 ? 3 : 2, timeout) < 0 && errno != EINTR) {
      break;
    }
    if ((fds[2].revents & POLLIN) != 0) {
      break;  // SIGTERM or SIGINT
    }
    if ((fds[1].revents & POLLIN) != 0) {
      drainEventFd(wakeup_.get());
      reapFinished();
      if (activeConnections() == 0 && !idle) {
        idleSince = Clock::now();
      }
    }
    if ((fds[0].revents & POLLIN) != 0) {
      acceptOne();
    }
  }
  const bool idleStop = !stopRequested_ && activeConnections() == 0;
  stopRequested_ = true;
  listener_.reset();
  if (!ownedPath_.empty()) {
    ::unlink(ownedPath_.c_str());
  }
  if (!drain()) {
    return Outcome::kDrainTimedOut;
  }
  return idleStop ? Outcome::kIdle : Outcome::kStopped;
}

void Server::acceptOne() {
  UniqueFd socket(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!socket) {
    return;  // the peer left before we got to it, or descriptors ran out for a moment
  }
  if (!peerAllowed(socket.get())) {
    log::peerRefused(socket.get());
    transport::sendError(socket.get(), wire::TransportError::kPermissionDenied,
                         "this service serves only its own user");
    return;
  }
  admit(std::move(socket));
}

void Server::admit(UniqueFd socket) {
  const std::lock_guard lock(mutex_);
  if (connections_.size() >= settings_.maxConnections) {
    transport::sendError(
        socket.get(), wire::TransportError::kBusy,
        "too many connections (" + std::to_string(settings_.maxConnections) + "); try again later");
    return;
  }
  auto& connection = *connections_.emplace_back(std::make_unique<Connection>());
  connection.socket = std::move(socket);
  connection.thread = std::thread([this, &connection] { serve(connection); });
}

void Server::serve(Connection& connection) {
  const RequestHandler handler = withOperationLog(makeHandler_(), connection.socket.get());
  serveConnection(connection.socket.get(), settings_.connection, handler);
  connection.finished = true;
  notify();
}

void Server::reapFinished() {
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

void Server::shutdownReaders() {
  // Readers see the end of their stream once the request in progress is answered.
  const std::lock_guard lock(mutex_);
  for (auto& connection : connections_) {
    ::shutdown(connection->socket.get(), SHUT_RD);
  }
}

bool Server::drain() {
  shutdownReaders();
  const auto deadline = Clock::now() + settings_.drainTimeout;
  for (;;) {
    reapFinished();
    if (activeConnections() == 0) {
      return true;
    }
    if (Clock::now() >= deadline) {
      return false;
    }
    pollfd wake{wakeup_.get(), POLLIN, 0};
    ::poll(&wake, 1, pollTimeout(deadline));
    drainEventFd(wakeup_.get());
  }
}

}  // namespace printxpc
