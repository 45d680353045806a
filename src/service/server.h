// The listener: accepts connections, checks who connects, and serves each connection on
// a thread of its own with its own service object.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/event_fd.h"
#include "common/unique_fd.h"
#include "protocol/wire.h"
#include "service/connection.h"
#include "service/listen_socket.h"

namespace printxpc {

// Makes the request handler of one new connection (which owns that connection's service
// object).
using HandlerFactory = std::function<RequestHandler()>;

struct ServerSettings {
  ConnectionSettings connection;
  // Connections served at once; further ones are told "busy" and closed.
  std::size_t maxConnections = 128;
  // Exit once no connection has been open for this long; zero: never.
  std::chrono::milliseconds idleExit{0};
  // When another front (the bus) last had a call in progress: now while one runs. Its
  // calls keep the service from idling as connections do.
  std::function<std::chrono::steady_clock::time_point()> otherActivity;
  // On a stop signal, how long requests in progress may take to finish.
  std::chrono::milliseconds drainTimeout{10000};
  // Called once the server has stopped taking connections, before it drains them.
  std::function<void()> stopping;
  // Bytes that all connections together may hold for frames beyond each one's small
  // standing buffer: room for three of the largest frames at once. A connection whose
  // frame would exceed it is told "busy" and closed.
  std::size_t bufferBudget = std::size_t{32} * 1024 * 1024;
};

class Server {
 public:
  // `listener` is a listening Unix stream socket. `ownedFile` is the socket file that this
  // process created and removes when it stops, if still there (none under socket activation).
  Server(UniqueFd listener, SocketFile ownedFile, ServerSettings settings,
         HandlerFactory makeHandler);
  // Waits for every connection thread, without a bound: a caller that needs one uses
  // run()'s outcome and leaves the process instead.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // The errno value when the server cannot run (its wake-up descriptor could not be made),
  // 0 when it can. A server that cannot run stops at once in run().
  [[nodiscard]] int startError() const { return wakeup_.error(); }

  enum class Outcome { kStopped, kIdle, kDrainTimedOut };

  // Serves until requestStop(), a signal on `signalFd` (a signalfd, or -1), or the idle
  // time. Returns after every connection has ended, or after the drain bound passed.
  Outcome run(int signalFd);

  // Safe from any thread.
  void requestStop();

  std::size_t activeConnections() const;
  // Bytes held now for frames beyond the connections' standing buffers.
  std::size_t bufferedBytes() const { return budget_.used(); }

 private:
  struct Connection {
    UniqueFd socket;
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  void acceptOne();
  void refuseForLackOfDescriptors();
  void admit(UniqueFd socket);
  void serve(Connection& connection);
  void reapFinished();
  void shutdownReaders();
  // Waits, within the drain bound, until every connection has ended.
  bool drain();

  UniqueFd listener_;
  SocketFile ownedFile_;
  ServerSettings settings_;
  HandlerFactory makeHandler_;
  EventFd wakeup_;  // a connection finished, or a stop was asked for
  // Held open to be given up when descriptors run out, so that the waiting peer can be
  // accepted and told why it is refused.
  UniqueFd reserve_;
  // While descriptors are short and no peer can be refused, the listener rests until then
  // (or until a connection ends), instead of reporting the same waiting peer over and over.
  std::optional<std::chrono::steady_clock::time_point> acceptResumes_;
  std::atomic<bool> stopRequested_{false};
  wire::BufferBudget budget_;

  mutable std::mutex mutex_;
  std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace printxpc
