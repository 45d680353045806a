// The socket front: accepts connections on a thread of its own, refuses peers that the peer
// rule refuses, and serves each admitted connection on a thread of its own, translating its
// frames into requests of the core and the core's answers back into frames.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "common/event_fd.h"
#include "common/unique_fd.h"
#include "printxpc/result.h"
#include "service/core/service_core.h"
#include "service/socket/connection.h"
#include "service/socket/listen_socket.h"

namespace printxpc {

class SocketFront {
 public:
  // Starts serving `listener`, a listening Unix stream socket, and attaches the front to the
  // core. `ownedFile` is the socket file that this process created and removes when the
  // front stops, if still there (none under socket activation). A failure (no wake-up
  // descriptor, no thread) carries kExitFailure; the socket file is removed then too.
  static Result<std::unique_ptr<SocketFront>> start(ServiceCore& core, UniqueFd listener,
                                                    SocketFile ownedFile,
                                                    ConnectionSettings settings);
  // Stops taking connections and waits for every connection thread, without a bound: a
  // caller that needs one uses the core's drain and leaves the process instead.
  ~SocketFront();
  SocketFront(const SocketFront&) = delete;
  SocketFront& operator=(const SocketFront&) = delete;

  // Closes the listener and removes the socket file; each connection ends once the request
  // that it has in progress is answered.
  void stopTaking();

  // Connections open now (admitted or not yet refused).
  std::size_t connections() const;

  SocketFront(ServiceCore& core, UniqueFd listener, SocketFile ownedFile,
              ConnectionSettings settings);

 private:
  struct Connection {
    UniqueFd socket;
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  void run();
  void stopListening();
  void acceptOne();
  void refuseForLackOfDescriptors();
  void admit(UniqueFd socket, uid_t uid);
  void serve(Connection& connection, ServiceCore::Caller caller);
  void reapFinished();

  ServiceCore& core_;
  UniqueFd listener_;
  SocketFile ownedFile_;
  ConnectionSettings settings_;
  EventFd wakeup_;  // a connection finished, or the front is to stop
  // Held open to be given up when descriptors run out, so that the waiting peer can be
  // accepted and told why it is refused.
  UniqueFd reserve_;
  // While descriptors are short and no peer can be refused, the listener rests until then
  // (or until a connection ends), instead of reporting the same waiting peer over and over.
  std::optional<std::chrono::steady_clock::time_point> acceptResumes_;
  std::atomic<bool> stopListening_{false};
  std::thread listenerThread_;

  mutable std::mutex mutex_;
  std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace printxpc
