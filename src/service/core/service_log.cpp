#include "service/core/service_log.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/log.h"
#include "service/core/exit_status.h"

namespace printxpc {
namespace {

// The reply up to its first separator: TRUE, FALSE, 0, -1.
std::string_view firstWord(std::string_view reply) {
  return reply.substr(0, reply.find_first_of(": =\t\n"));
}

std::string seconds(std::chrono::milliseconds duration) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

// "1 request over the socket and 2 bus calls"
std::string cutOffText(const ServiceCore::Outcome& outcome) {
  const std::size_t socket = outcome.cutOff[static_cast<std::size_t>(Front::kSocket)];
  const std::size_t bus = outcome.cutOff[static_cast<std::size_t>(Front::kBus)];
  std::string text;
  if (socket > 0) {
    text = std::to_string(socket) + (socket == 1 ? " request" : " requests") + " over the socket";
  }
  if (bus > 0) {
    text += (text.empty() ? "" : " and ") + std::to_string(bus) +
            (bus == 1 ? " bus call" : " bus calls");
  }
  return text;
}

}  // namespace

Status configureLog(const BuildIdentity& build) {
  log::setIdentifier(build.name);
  const char* name = std::getenv("PRINTXPC_LOG_LEVEL");
  if (name == nullptr || *name == '\0') {
    return {};
  }
  const auto level = log::parseLevel(name);
  if (!level) {
    return Error{kExitUsage,
                 "PRINTXPC_LOG_LEVEL names no level (error, warning, notice, info or debug)"};
  }
  log::setLevel(*level);
  return {};
}

void logStarted(const BuildIdentity& build, const std::string& socketPath, bool activated) {
  const std::string_view how = activated ? "socket-activation" : "listen";
  log::write(log::Level::kInfo,
             std::string(build.name) + " " + PRINTXPC_VERSION + " serving " + socketPath + " (" +
                 std::string(how) + ")",
             {{"BUILD", std::string(build.name)},
              {"VERSION", PRINTXPC_VERSION},
              {"PROTOCOL", protocolName(build)},
              {"SOCKET", socketPath},
              {"STARTED_BY", std::string(how)}});
}

void logStopped(const ServiceCore::Outcome& outcome, std::chrono::milliseconds idleExit,
                std::chrono::milliseconds drainTimeout) {
  const std::string drained = outcome.drained() ? "the requests in progress were answered"
                                                : "still running after " + seconds(drainTimeout) +
                                                      " s and cut off: " + cutOffText(outcome);
  const std::string socketCut =
      std::to_string(outcome.cutOff[static_cast<std::size_t>(Front::kSocket)]);
  const std::string busCut = std::to_string(outcome.cutOff[static_cast<std::size_t>(Front::kBus)]);
  switch (outcome.cause) {
    case ServiceCore::Outcome::Cause::kIdle:
      log::write(log::Level::kInfo,
                 "no caller for " + seconds(idleExit) + " s: leaving (idle exit)",
                 {{"IDLE_EXIT_SEC", seconds(idleExit)}});
      return;
    case ServiceCore::Outcome::Cause::kRequested:
      log::write(log::Level::kInfo, "stopped; " + drained,
                 {{"CUT_OFF_SOCKET", socketCut}, {"CUT_OFF_BUS", busCut}});
      return;
    case ServiceCore::Outcome::Cause::kSignal:
      break;
  }
  const char* abbreviation = sigabbrev_np(outcome.signal);
  const std::string name = "SIG" + (abbreviation != nullptr ? std::string(abbreviation)
                                                            : std::to_string(outcome.signal));
  log::write(
      outcome.drained() ? log::Level::kNotice : log::Level::kWarning,
      "stopped by " + name + " from pid " + std::to_string(outcome.senderPid) + "; " + drained,
      {{"SIGNAL", name},
       {"SENDER_PID", std::to_string(outcome.senderPid)},
       {"CUT_OFF_SOCKET", socketCut},
       {"CUT_OFF_BUS", busCut}});
}

void logRefused(Front front, const std::optional<peer::Credentials>& peer,
                std::string_view detail) {
  const std::string_view what = front == Front::kSocket ? "a connection" : "a bus call";
  const std::string named = detail.empty() ? "" : " (" + std::string(detail) + ")";
  if (!peer) {
    log::write(log::Level::kWarning,
               "refused " + std::string(what) + named + " whose peer is unknown",
               {{"FRONT", std::string(frontName(front))}});
    return;
  }
  const std::string uid = std::to_string(peer->uid);
  const std::string pid = std::to_string(peer->pid);
  log::write(log::Level::kWarning,
             "refused " + std::string(what) + " from uid " + uid + " (pid " + pid +
                 (detail.empty() ? "" : ", " + std::string(detail)) +
                 "): this service serves only its own user and root",
             {{"FRONT", std::string(frontName(front))}, {"PEER_UID", uid}, {"PEER_PID", pid}});
}

void logOperation(Front front, Operation operation, uid_t uid, const Answer& answer,
                  std::chrono::microseconds duration) {
  const std::string result =
      answer ? std::string(firstWord(*answer)) : std::string(errorName(answer.error().code));
  const std::string_view selector = selectorOf(operation);
  const std::string peer = std::to_string(uid);
  const std::string usec = std::to_string(duration.count());
  log::write(log::Level::kDebug,
             std::string(selector) + " from uid " + peer + " over the " +
                 std::string(frontName(front)) + ": " + result + " in " + usec + " us",
             {{"FRONT", std::string(frontName(front))},
              {"OPERATION", std::string(selector)},
              {"PEER_UID", peer},
              {"RESULT", result},
              {"DURATION_USEC", usec}});
}

void logResourceFailure(Front front, std::string_view what) {
  log::write(log::Level::kWarning,
             "a request over the " + std::string(frontName(front)) +
                 " could not get the memory or thread it needed (" + std::string(what) +
                 "): answered busy",
             {{"FRONT", std::string(frontName(front))}});
}

}  // namespace printxpc
