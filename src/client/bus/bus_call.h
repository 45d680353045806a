// One method call to a service build on the session bus, as print-xpc-call makes it.
#pragma once

#include <string>
#include <string_view>

#include "printxpc/builds.h"
#include "printxpc/result.h"
#include "protocol/operations.h"

namespace printxpc::bus {

// Calls the operation's method of the build's bus name over the session bus
// ($DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus) and returns its reply string.
//
// The call goes only to a service of this user or root, as over the socket: the name's owner
// is started first when it has none (its unit's start job followed, so that a start that
// fails is told at once), its uid is checked, and the call is sent to the unique name that
// was checked, which no other process can take over meanwhile. A failure carries a
// ClientError: kInvalidArgument for a request the bus cannot carry, kCannotConnect without a
// session bus or when the service cannot start, kServerNotTrusted when another user owns the
// name (nothing is sent to it), kIo when the call fails (the message starts with the D-Bus
// error name, "org.freedesktop.DBus.Error.ServiceUnknown: ..."), kProtocol for a reply that
// is not one string.
Result<std::string> callOverBus(const BuildIdentity& build, Operation operation,
                                std::string_view request);

}  // namespace printxpc::bus
