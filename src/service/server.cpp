#include "service/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

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

// How long the listener rests when descriptors ran out and no peer could be refused.
constexpr std::chrono::milliseconds kAcceptRest{100};

UniqueFd openReserve() { return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC | O_NOCTTY)); }

void refuse(int fd, std::string_view message) {
  (void)transport::sendError(fd, wire::TransportError::kBusy, message);  // closed next anyway
}

}  // namespace

Server::Server(UniqueFd listener, SocketFile ownedFile, ServerSettings settings,
               HandlerFactory makeHandler)
    : listener_(std::move(listener)),
      ownedFile_(std::move(ownedFile)),
      settings_(std::move(settings)),
      makeHandler_(std::move(makeHandler)),
      reserve_(openReserve()),
      budget_(settings_.bufferBudget) {
  // A peer that leaves between poll and accept must not leave the loop blocked in accept.
  ::fcntl(listener_.get(), F_SETFL, ::fcntl(listener_.get(), F_GETFL) | O_NONBLOCK);
}

Server::~Server() {
  requestStop();
  shutdownReaders();
  const std::lock_guard lock(mutex_);
  for (auto& connection : connections_) {
    connection->thread.join();
  }
}

void Server::requestStop() {
  stopRequested_ = true;
  wakeup_.notify();
}

std::size_t Server::activeConnections() const {
  const std::lock_guard lock(mutex_);
  return connections_.size();
}

Server::Outcome Server::run(int signalFd) {
  if (!wakeup_.valid()) {
    stopRequested_ = true;  // nothing could tell it of a finished connection or a stop
  }
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
    if (acceptResumes_ && Clock::now() >= *acceptResumes_) {
      acceptResumes_.reset();
    }
    // A negative descriptor is skipped by poll: the listener rests.
    pollfd fds[3] = {{acceptResumes_ ? -1 : listener_.get(), POLLIN, 0},
                     {wakeup_.fd(), POLLIN, 0},
                     {signalFd, POLLIN, 0}};
    int timeout = idle && idleExit ? pollTimeout(idleSince + settings_.idleExit) : -1;
    if (acceptResumes_) {
      const int rest = pollTimeout(*acceptResumes_);
      timeout = timeout < 0 ? rest : std::min(timeout, rest);
    }
    if (::poll(fds, signalFd >= 0 ? 3 : 2, timeout) < 0 && errno != EINTR) {
      break;
    }
    if ((fds[2].revents & POLLIN) != 0) {
      break;  // SIGTERM or SIGINT
    }
    if ((fds[1].revents & POLLIN) != 0) {
      wakeup_.drain();
      reapFinished();
      acceptResumes_.reset();  // a connection may have ended and freed its descriptor
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
  ownedFile_.removeIfOurs();
  if (settings_.stopping) {
    settings_.stopping();
  }
  if (!drain()) {
    return Outcome::kDrainTimedOut;
  }
  return idleStop ? Outcome::kIdle : Outcome::kStopped;
}

void Server::acceptOne() {
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
  if (!peerAllowed(socket.get())) {
    log::peerRefused(socket.get());
    (void)transport::sendError(socket.get(), wire::TransportError::kPermissionDenied,
                               "this service serves only its own user");  // closed next anyway
    return;
  }
  admit(std::move(socket));
}

// Out of descriptors, the waiting peer cannot be accepted: it would get no answer, and the
// listener would stay readable, so the loop would spin. The reserve descriptor makes room
// to accept it and say why; when even that fails, the listener rests for a while.
void Server::refuseForLackOfDescriptors() {
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

void Server::admit(UniqueFd socket) {
  const std::lock_guard lock(mutex_);
  if (connections_.size() >= settings_.maxConnections) {
    refuse(socket.get(), "too many connections (" + std::to_string(settings_.maxConnections) +
                             "); try again later");
    return;
  }
  auto& connection = *connections_.emplace_back(std::make_unique<Connection>());
  connection.socket = std::move(socket);
  try {
    connection.thread = std::thread([this, &connection] { serve(connection); });
  } catch (const std::system_error&) {
    // Out of threads (the process limit, or memory): this peer may come back later.
    refuse(connection.socket.get(), "the service cannot start a thread now; try again later");
    connections_.pop_back();
  }
}

void Server::serve(Connection& connection) {
  try {
    const RequestHandler handler = withOperationLog(makeHandler_(), connection.socket.get());
    serveConnection(connection.socket.get(), settings_.connection, handler, &budget_);
  } catch (const std::exception&) {
    // An operation that could not get a resource (a thread, memory) ends this connection
    // only; the service goes on serving the others.
  }
  connection.finished = true;
  wakeup_.notify();
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
    pollfd wake{wakeup_.fd(), POLLIN, 0};
    ::poll(&wake, 1, pollTimeout(deadline));
    wakeup_.drain();
  }
}

}  // namespace printxpc
