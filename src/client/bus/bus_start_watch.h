// Watches the start of a service that a bus call is about to activate. Under a systemd user
// manager the bus starts the service through its unit, and dbus-daemon is never told when
// that start fails (it hears only of a start that could not be queued), so its caller would
// wait for the bus's activation timeout. The watch follows the unit's start job on the
// manager instead, so that the call can end as soon as the job fails.
#pragma once

#include <systemd/sd-bus.h>

#include <string>

#include "protocol/bus_support.h"

namespace printxpc::bus {

class StartWatch {
 public:
  // Watches `unit` when `busName` has no owner yet (the call will start it) and a systemd
  // user manager is on the bus; otherwise the watch stays empty and never fails.
  // It must not move, and is not const: the bus holds its address and writes the failure.
  StartWatch(sd_bus* bus, const std::string& busName, std::string unit);
  StartWatch(const StartWatch&) = delete;
  StartWatch& operator=(const StartWatch&) = delete;
  ~StartWatch() = default;

  // How the unit's start job ended when not "done" ("failed", "timeout", "dependency"...);
  // empty while it runs, after it succeeded, and when nothing is watched.
  [[nodiscard]] const std::string& failure() const { return failure_; }

 private:
  static int onJobRemoved(sd_bus_message* message, void* self, sd_bus_error* error);

  std::string unit_;
  std::string failure_;
  SlotPtr slot_;
};

}  // namespace printxpc::bus
