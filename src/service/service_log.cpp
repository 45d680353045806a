#include "service/service_log.h"

#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/log.h"
#include "service/exit_status.h"
#include "service/listen_socket.h"

namespace printxpc {
namespace {

using Clock = std::chrono::steady_clock;

// The reply up to its first separator: TRUE, FALSE, 0, -1.
std::string_view firstWord(std::string_view reply) {
  return reply.substr(0, reply.find_first_of(": =\t\n"));
}

std::string peerUid(int socket) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
    return "unknown";
  }
  return std::to_string(peer.uid);
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

void logStarted(const BuildIdentity& build, int listener, bool activated) {
  const std::string path = boundPath(listener);
  const std::string_view how = activated ? "socket-activation" : "listen";
  log::write(log::Level::kInfo,
             std::string(build.name) + " " + PRINTXPC_VERSION + " serving " + path + " (" +
                 std::string(how) + ")",
             {{"BUILD", std::string(build.name)},
              {"VERSION", PRINTXPC_VERSION},
              {"PROTOCOL", protocolName(build)},
              {"SOCKET", path},
              {"STARTED_BY", std::string(how)}});
}

void logStopped(Server::Outcome outcome, int signalFd, std::chrono::milliseconds idleExit) {
  // A signal that ended the wait is still unread in the (non-blocking) descriptor; the
  // outcome alone does not tell a stop without connections from an idle exit.
  signalfd_siginfo info{};
  if (signalFd < 0 || ::read(signalFd, &info, sizeof info) != sizeof info) {
    if (outcome != Server::Outcome::kIdle) {
      log::write(log::Level::kInfo, "stopped");
      return;
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(idleExit).count();
    log::write(log::Level::kInfo,
               "no connection for " + std::to_string(seconds) + " s: leaving (idle exit)",
               {{"IDLE_EXIT_SEC", std::to_string(seconds)}});
    return;
  }
  const char* abbreviation = sigabbrev_np(static_cast<int>(info.ssi_signo));
  const std::string name = abbreviation != nullptr ? abbreviation : std::to_string(info.ssi_signo);
  const std::string outcomeText = outcome == Server::Outcome::kDrainTimedOut
                                      ? "requests still running after the drain time were cut off"
                                      : "the requests in progress were answered";
  log::write(
      log::Level::kNotice,
      "stopped by SIG" + name + " from pid " + std::to_string(info.ssi_pid) + "; " + outcomeText,
      {{"SIGNAL", "SIG" + name}, {"SENDER_PID", std::to_string(info.ssi_pid)}});
}

RequestHandler withOperationLog(RequestHandler handler, int socket) {
  if (!log::enabled(log::Level::kDebug)) {
    return handler;
  }
  return [handler = std::move(handler), uid = peerUid(socket)](
             Operation operation, std::string_view request) -> std::optional<std::string> {
    const auto start = Clock::now();
    auto reply = handler(operation, request);
    const auto usec =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    const std::string result = reply ? std::string(firstWord(*reply)) : "unavailable";
    const std::string_view selector = selectorOf(operation);
    log::write(log::Level::kDebug,
               std::string(selector) + " from uid " + uid + ": " + result + " in " +
                   std::to_string(usec) + " us",
               {{"OPERATION", std::string(selector)},
                {"PEER_UID", uid},
                {"RESULT", result},
                {"DURATION_USEC", std::to_string(usec)}});
    return reply;
  };
}

}  // namespace printxpc
