// The service core: what there is one of per process, whichever front a caller came
// through. It admits callers within one limit, holds their requests within one byte budget,
// runs each operation through one path (the bound on its size, the operation, the log line,
// the answer to a failure), keeps the activity clock for the idle exit, and stops every
// front with one drain. The fronts (the socket, the bus) only translate their messages into
// calls of the core and its answers back.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/event_fd.h"
#include "common/peer_rule.h"
#include "printxpc/result.h"
#include "protocol/operations.h"
#include "protocol/wire.h"
#include "service/core/answer.h"
#include "service/core/service_xpc.h"

namespace printxpc {

enum class Front : std::uint8_t { kSocket, kBus };
inline constexpr std::size_t kFrontCount = 2;

// "socket" or "bus", as the log's FRONT= field has it.
std::string_view frontName(Front front);

// Answers one request; absent when the operation is not available in this version.
using RequestHandler = std::function<std::optional<std::string>(Operation, std::string_view)>;
// Makes the request handler of one new caller, which owns that caller's service object.
using HandlerFactory = std::function<RequestHandler()>;

struct CoreSettings {
  // Callers served at once over both fronts together: each open socket connection and each
  // bus call in progress takes one place. A caller beyond them is told busy.
  std::size_t maxCallers = 128;
  // Bytes that the requests in progress over both fronts together may hold beyond each one's
  // standing 64 KiB (wire::kStandingBuffer): room for four of the largest requests. A request
  // that would exceed it is told busy.
  std::size_t byteBudget = std::size_t{32} * 1024 * 1024;
  // Exit once no caller has been served for this long; zero: never.
  std::chrono::milliseconds idleExit{0};
  // On a stop, how long the callers in progress over every front together may take.
  std::chrono::milliseconds drainTimeout{10000};
  // Called once every front has stopped taking callers, before the drain.
  std::function<void()> stopping;
  // Each caller's handler; empty: the six operations, with a service object per caller.
  HandlerFactory makeHandler;
};

class ServiceCore {
 public:
  explicit ServiceCore(CoreSettings settings);
  ServiceCore(const ServiceCore&) = delete;
  ServiceCore& operator=(const ServiceCore&) = delete;
  ~ServiceCore() = default;

  // The errno value when the core cannot run (its wake-up descriptor could not be made), 0
  // when it can. A core that cannot run stops at once in run().
  [[nodiscard]] int startError() const { return wakeup_.error(); }

  // One admitted caller: its place among the callers, the bytes it holds from the budget and
  // its own request handler. Moving it moves the place; destroying it frees the place.
  class Caller {
   public:
    Caller(Caller&& other) noexcept;
    Caller& operator=(Caller&&) = delete;
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;
    ~Caller();

    // Answers one request: the bound on its size, the operation, the debug log line and,
    // should the operation fail for want of memory or a thread, the busy answer.
    Answer perform(Operation operation, std::string_view request);
    // The answer to such a failure outside an operation (the front's own buffers): busy,
    // with a warning in the log.
    Answer failed(const std::exception& error);

   private:
    friend class ServiceCore;
    Caller(ServiceCore& core, Front front, uid_t uid, std::size_t heldBytes);

    ServiceCore* core_;
    Front front_;
    uid_t uid_;
    std::size_t heldBytes_;
    RequestHandler handler_;
  };

  // A place for one caller of the front whose peer has this uid. `heldBytes` are what the
  // caller holds from the start (a bus call's request string): above the request bound they
  // give kFrameTooLarge, and what they need beyond the standing buffer is taken from the
  // budget. kBusy when every place is taken, the budget cannot give the bytes, or the
  // service is stopping.
  Result<Caller> admit(Front front, uid_t uid, std::size_t heldBytes = 0);

  // The budget, from which the socket front's readers take what their frames need.
  wire::BufferBudget& budget() { return budget_; }

  // A peer that the rule refuses (nullopt: whose credentials could not be learnt); logged.
  void refused(Front front, const std::optional<peer::Credentials>& peer,
               std::string_view detail = {});

  // What a front does when the service stops: take no more callers (the socket front closes
  // its listener, the bus front gives up its name) and let each caller in progress end once
  // its current request is answered. Called once, on the core's thread. Before run().
  void attach(std::function<void()> stopTaking);

  struct Outcome {
    enum class Cause { kRequested, kIdle, kSignal };
    Cause cause = Cause::kRequested;
    int signal = 0;  // with kSignal: the signal and who sent it
    pid_t senderPid = 0;
    // Callers of each front still in progress when the drain bound passed (cut off).
    std::array<std::size_t, kFrontCount> cutOff{};
    [[nodiscard]] bool drained() const { return cutOff[0] == 0 && cutOff[1] == 0; }
  };

  // Serves until requestStop(), a signal on `signalFd` (a signalfd, or -1) or the idle
  // time, then stops every attached front, says STOPPING (settings.stopping), drains the
  // callers of all fronts within one bound and logs the stop line. Returns once every caller
  // has ended, or once the bound has passed.
  Outcome run(int signalFd);

  // Safe from any thread.
  void requestStop();

  // Callers in progress of one front, of all fronts; bytes held from the budget now.
  std::size_t callers(Front front) const;
  std::size_t callers() const;
  std::size_t bufferedBytes() const { return budget_.used(); }

 private:
  using Clock = std::chrono::steady_clock;

  void release(Front front, std::size_t heldBytes);
  std::optional<Outcome::Cause> waitForStop(int signalFd, Outcome& outcome);
  void drain(Clock::time_point deadline, Outcome& outcome);

  CoreSettings settings_;
  // What cancels the GETs of every caller, and their timeout and retries.
  SharedState shared_;
  EventFd wakeup_;  // a stop was asked for, or the last caller left while stopping
  wire::BufferBudget budget_;
  std::vector<std::function<void()>> fronts_;  // their stopTaking

  mutable std::mutex mutex_;
  std::array<std::size_t, kFrontCount> callers_{};
  Clock::time_point idleSince_;  // when the last caller left (or the core was made)
  bool stopping_ = false;
  bool stopRequested_ = false;
};

}  // namespace printxpc
