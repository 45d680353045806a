// The bus front: the service on the D-Bus session bus, one method per operation. It refuses
// callers that the peer rule refuses (methods, properties and introspection alike),
// translates each call into a request of the core, and the core's answer into exactly one
// reply or error.
//
// The thread that reads the bus runs a call itself, which saves the hand-over to another
// thread that the quick operations would otherwise pay for; should the call still run after
// a millisecond or two (a GET waiting for a printer), a standby thread takes over reading the bus,
// so that a call that waits never holds up the others. Threads that are no longer needed end
// after a few idle seconds.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "models/model_table.h"
#include "printxpc/result.h"
#include "service/core/service_core.h"

namespace printxpc {

struct BusFrontSettings {
  std::string busName;       // "org.printxpc.ServiceA"
  std::string protocolName;  // the ProtocolName property
  std::string version;       // the Version property
  const ModelTable* models = nullptr;
  // The bus to serve; empty: $DBUS_STARTER_ADDRESS when the bus started us, else
  // $DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus.
  std::string address;
  // Reports what happens to the bus connection later on (it is lost, ...).
  std::function<void(const std::string&)> log;
};

class BusFront {
 public:
  // Connects to the bus, takes the name, starts serving and attaches the front to the core.
  // A failure carries kExitFailure.
  static Result<std::unique_ptr<BusFront>> start(ServiceCore& core, BusFrontSettings settings);
  ~BusFront();
  BusFront(const BusFront&) = delete;
  BusFront& operator=(const BusFront&) = delete;

  // Gives up the name, so that new callers start a new instance; the calls in progress are
  // still answered.
  void stopTaking();

  // Threads of the front now: the one reading the bus, the standby, and those running calls
  // or not yet ended after their last one.
  std::size_t threads() const;

  class Impl;
  explicit BusFront(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace printxpc
