// The service on the D-Bus session bus: one method per operation, answered by the same
// request handlers as the socket. Calls are handled on worker threads, so that a call that
// waits (a GET on a silent printer) never holds up the others; the bus thread only reads
// calls and sends replies.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "models/model_table.h"
#include "printxpc/result.h"
#include "service/connection.h"

namespace printxpc {

struct BusFrontSettings {
  std::string busName;       // "org.printxpc.ServiceA"
  std::string protocolName;  // the ProtocolName property
  std::string version;       // the Version property
  const ModelTable* models = nullptr;
  // Calls handled at once; further ones get an error at once.
  std::size_t maxCalls = 128;
  // Reports what happens to the bus connection later on (it is lost, ...).
  std::function<void(const std::string&)> log;
};

class BusFront {
 public:
  // Connects to the session bus ($DBUS_STARTER_ADDRESS when the bus started us, else
  // $DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus), takes the name and starts serving.
  // `signalFd` (a signalfd, or -1) stops it like stop(). A failure carries kExitFailure.
  static Result<std::unique_ptr<BusFront>> start(BusFrontSettings settings,
                                                 std::function<RequestHandler()> makeHandler,
                                                 int signalFd);
  ~BusFront();
  BusFront(const BusFront&) = delete;
  BusFront& operator=(const BusFront&) = delete;

  std::size_t callsInProgress() const;
  // When a call last started or ended; now while calls are in progress. Safe from any thread.
  std::chrono::steady_clock::time_point lastActivity() const;

  // Releases the name, answers the calls in progress and leaves; safe from any thread.
  void stop();
  // stop(), then waits for the calls in progress up to `bound`; false if some still run.
  bool finish(std::chrono::milliseconds bound);

  class Impl;
  // Serves through an Impl that start() has set up.
  explicit BusFront(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
  std::thread thread_;  // runs the bus's event loop
};

}  // namespace printxpc
