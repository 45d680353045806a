// One method call to a service build on the session bus, as print-xpc-call makes it.
#pragma once

#include <string>
#include <string_view>

#include "printxpc/builds.h"
#include "printxpc/result.h"
#include "protocol/operations.h"

namespace printxpc::bus {

// Calls the operation's method on the build's bus name over the session bus
// ($DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus) and returns its reply string. A
// failure carries a ClientError: kInvalidArgument for a request the bus cannot carry,
// kCannotConnect without a session bus, kIo when the call fails (the message starts with
// the D-Bus error name, "org.freedesktop.DBus.Error.ServiceUnknown: ..."), kProtocol for a
// reply that is not one string.
Result<std::string> callOverBus(const BuildIdentity& build, Operation operation,
                                std::string_view request);

}  // namespace printxpc::bus
