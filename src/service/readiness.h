// What the service tells its service manager (sd_notify): that it is ready once its socket
// and its bus name are served, what it is doing, and that it is stopping. A service
// manager that waits for readiness (Type=notify) fails the start of a service that never
// gets there, so that a caller is told at once instead of waiting for its own timeout.
// Outside a service manager (no NOTIFY_SOCKET) each call does nothing.
#pragma once

#include <string_view>

namespace printxpc::readiness {

// READY=1 with a STATUS= line saying what is served.
void ready(std::string_view status);
// STOPPING=1 with a STATUS= line saying why.
void stopping(std::string_view status);

}  // namespace printxpc::readiness
