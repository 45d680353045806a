// The service's own log entries: its start and stop, and at debug level one line per
// operation.
#pragma once

#include <chrono>
#include <string>

#include "printxpc/builds.h"
#include "printxpc/result.h"
#include "service/connection.h"
#include "service/server.h"

namespace printxpc {

// Names the entries after the build and applies PRINTXPC_LOG_LEVEL; a usage error
// (kExitUsage) when that names no level.
Status configureLog(const BuildIdentity& build);
void logStarted(const BuildIdentity& build, int listener, bool activated);
// Why the service stops: the idle time passed, or the signal waiting in `signalFd`.
void logStopped(Server::Outcome outcome, int signalFd, std::chrono::milliseconds idleExit);
// The handler, timing and logging each operation when the level is debug. The reply's first
// word only: replies may carry what a printer answered.
RequestHandler withOperationLog(RequestHandler handler, int socket);

}  // namespace printxpc
