// The service's own log entries: its start and stop, refused peers, failures for want of a
// resource and, at debug level, one line per operation. Every entry about a caller names
// its front (FRONT=socket or FRONT=bus).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "common/peer_rule.h"
#include "printxpc/builds.h"
#include "printxpc/result.h"
#include "service/core/service_core.h"

namespace printxpc {

// Names the entries after the build and applies PRINTXPC_LOG_LEVEL; a usage error
// (kExitUsage) when that names no level.
Status configureLog(const BuildIdentity& build);
void logStarted(const BuildIdentity& build, const std::string& socketPath, bool activated);
// Why the service stopped, and what the drain cut off.
void logStopped(const ServiceCore::Outcome& outcome, std::chrono::milliseconds idleExit,
                std::chrono::milliseconds drainTimeout);
// A peer that the rule refuses (nullopt: whose credentials could not be learnt); `detail`
// adds what the front knows of it (a bus name).
void logRefused(Front front, const std::optional<peer::Credentials>& peer, std::string_view detail);
// An operation's answer, at debug level: the reply's first word only, since replies may
// carry what a printer answered; for a transport error its name.
void logOperation(Front front, Operation operation, uid_t uid, const Answer& answer,
                  std::chrono::microseconds duration);
// An answer of busy because memory or a thread ran out (`what` says which).
void logResourceFailure(Front front, std::string_view what);

}  // namespace printxpc
