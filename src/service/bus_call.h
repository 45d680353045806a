// One method call to a service build on the session bus, as print-xpc-call makes it.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "printxpc/builds.h"
#include "protocol/operations.h"

namespace printxpc::bus {

struct CallFailure {
  std::string name;  // the D-Bus error name, or empty when no call could be made
  std::string message;
};

// Calls the operation's method on the build's bus name over the session bus
// ($DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus) and returns its reply string.
std::variant<std::string, CallFailure> callOverBus(const BuildIdentity& build, Operation operation,
                                                   std::string_view request);

}  // namespace printxpc::bus
