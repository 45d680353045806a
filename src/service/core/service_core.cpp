#include "service/core/service_core.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

#include "common/log.h"
#include "common/poll_timeout.h"
#include "service/core/service_log.h"

namespace printxpc {
namespace {

using Clock = std::chrono::steady_clock;

std::size_t index(Front front) { return static_cast<std::size_t>(front); }

Error refusal(TransportError code, std::string message) {
  return {errorCode(code), std::move(message)};
}

// The one bound on a request string, whichever front it came through.
std::optional<Error> aboveTheBound(std::size_t requestBytes) {
  if (requestBytes <= wire::kMaxRequest) {
    return std::nullopt;
  }
  return refusal(TransportError::kFrameTooLarge,
                 "the request string is above " + std::to_string(wire::kMaxRequest) + " bytes");
}

std::size_t beyondStandingBuffer(std::size_t bytes) {
  return bytes > wire::kStandingBuffer ? bytes - wire::kStandingBuffer : 0;
}

}  // namespace

std::string_view frontName(Front front) { return front == Front::kSocket ? "socket" : "bus"; }

ServiceCore::ServiceCore(CoreSettings settings)
    : settings_(std::move(settings)), budget_(settings_.byteBudget), idleSince_(Clock::now()) {
  if (!settings_.makeHandler) {
    // The six operations; each caller gets a service object of its own.
    settings_.makeHandler = [this] {
      return RequestHandler([service = OrvaneServiceXPC(shared_)](
                                Operation operation, std::string_view request) mutable {
        return std::optional<std::string>(service.perform(operation, request));
      });
    };
  }
}

ServiceCore::Caller::Caller(ServiceCore& core, Front front, uid_t uid, std::size_t heldBytes)
    : core_(&core),
      front_(front),
      uid_(uid),
      heldBytes_(heldBytes),
      handler_(core.settings_.makeHandler()) {}

ServiceCore::Caller::Caller(Caller&& other) noexcept
    : core_(std::exchange(other.core_, nullptr)),
      front_(other.front_),
      uid_(other.uid_),
      heldBytes_(other.heldBytes_),
      handler_(std::move(other.handler_)) {}

ServiceCore::Caller::~Caller() {
  if (core_ != nullptr) {
    core_->release(front_, heldBytes_);
  }
}

Answer ServiceCore::Caller::perform(Operation operation, std::string_view request) {
  if (auto tooLarge = aboveTheBound(request.size())) {
    return *tooLarge;
  }
  const bool logged = log::enabled(log::Level::kDebug);
  const auto start = logged ? Clock::now() : Clock::time_point();
  Answer answer = [&]() -> Answer {
    try {
      auto reply = handler_(operation, request);
      if (!reply) {
        return refusal(TransportError::kNotAvailable,
                       std::string(selectorOf(operation)) +
                           " is not available in this version of the service");
      }
      return std::move(*reply);
    } catch (const std::exception& error) {
      return failed(error);
    }
  }();
  if (logged) {
    logOperation(front_, operation, uid_, answer,
                 std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start));
  }
  return answer;
}

// Memory or a thread ran out (std::bad_alloc, std::system_error from a thread's start, or
// any other failure of the standard library): the service stays up, and the caller may try
// again later, as when every place is taken.
Answer ServiceCore::Caller::failed(const std::exception& error) {
  logResourceFailure(front_, error.what());
  return refusal(TransportError::kBusy,
                 "the service ran out of memory or threads for this request; try again later");
}

Result<ServiceCore::Caller> ServiceCore::admit(Front front, uid_t uid, std::size_t heldBytes) {
  if (auto tooLarge = aboveTheBound(heldBytes)) {
    return *std::move(tooLarge);
  }
  const std::size_t charge = beyondStandingBuffer(heldBytes);
  {
    const std::lock_guard lock(mutex_);
    if (stopping_) {
      return refusal(TransportError::kBusy, "the service is stopping; try again");
    }
    if (callers_[0] + callers_[1] >= settings_.maxCallers) {
      return refusal(
          TransportError::kBusy,
          "too many callers (" + std::to_string(settings_.maxCallers) + "); try again later");
    }
    if (charge > 0 && !budget_.take(charge)) {
      return refusal(TransportError::kBusy,
                     "the service holds too much unfinished data from its clients; try again "
                     "later");
    }
    ++callers_[index(front)];
  }
  try {
    return Caller(*this, front, uid, charge);
  } catch (const std::exception& error) {
    release(front, charge);
    logResourceFailure(front, error.what());
    return refusal(TransportError::kBusy,
                   "the service ran out of memory for this caller; try again later");
  }
}

void ServiceCore::release(Front front, std::size_t heldBytes) {
  if (heldBytes > 0) {
    budget_.give(heldBytes);
  }
  const std::lock_guard lock(mutex_);
  --callers_[index(front)];
  if (callers_[0] + callers_[1] == 0) {
    idleSince_ = Clock::now();
    if (stopping_) {
      wakeup_.notify();  // the drain waits for the last one
    }
  }
}

void ServiceCore::refused(Front front, const std::optional<peer::Credentials>& peer,
                          std::string_view detail) {
  logRefused(front, peer, detail);
}

void ServiceCore::attach(std::function<void()> stopTaking) {
  fronts_.push_back(std::move(stopTaking));
}

void ServiceCore::requestStop() {
  {
    const std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  wakeup_.notify();
}

std::size_t ServiceCore::callers(Front front) const {
  const std::lock_guard lock(mutex_);
  return callers_[index(front)];
}

std::size_t ServiceCore::callers() const {
  const std::lock_guard lock(mutex_);
  return callers_[0] + callers_[1];
}

std::optional<ServiceCore::Outcome::Cause> ServiceCore::waitForStop(int signalFd,
                                                                    Outcome& outcome) {
  const bool idleExit = settings_.idleExit.count() > 0;
  for (;;) {
    int timeout = -1;
    {
      const std::lock_guard lock(mutex_);
      if (stopRequested_) {
        return Outcome::Cause::kRequested;
      }
      if (idleExit) {
        // While callers are in progress the clock is looked at again after the idle time:
        // the last one to leave sets it without waking this thread.
        const bool idle = callers_[0] + callers_[1] == 0;
        if (idle && Clock::now() - idleSince_ >= settings_.idleExit) {
          return Outcome::Cause::kIdle;
        }
        timeout = pollTimeout((idle ? idleSince_ : Clock::now()) + settings_.idleExit);
      }
    }
    pollfd fds[2] = {{wakeup_.fd(), POLLIN, 0}, {signalFd, POLLIN, 0}};
    if (::poll(fds, signalFd >= 0 ? 2 : 1, timeout) < 0 && errno != EINTR) {
      return Outcome::Cause::kRequested;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      if (::read(signalFd, &info, sizeof info) == sizeof info) {
        outcome.signal = static_cast<int>(info.ssi_signo);
        outcome.senderPid = static_cast<pid_t>(info.ssi_pid);
        return Outcome::Cause::kSignal;
      }
    }
    if ((fds[0].revents & POLLIN) != 0) {
      wakeup_.drain();
    }
  }
}

ServiceCore::Outcome ServiceCore::run(int signalFd) {
  Outcome outcome;
  if (!wakeup_.valid()) {
    outcome.cause = Outcome::Cause::kRequested;  // nothing could tell it of a stop
  } else if (const auto cause = waitForStop(signalFd, outcome)) {
    outcome.cause = *cause;
  }
  // One bound for every front, counted from the decision to stop.
  const auto deadline = Clock::now() + settings_.drainTimeout;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;  // no more admissions, whichever front asks
  }
  for (const auto& stopTaking : fronts_) {
    stopTaking();
  }
  if (settings_.stopping) {
    settings_.stopping();
  }
  drain(deadline, outcome);
  logStopped(outcome, settings_.idleExit, settings_.drainTimeout);
  return outcome;
}

void ServiceCore::drain(Clock::time_point deadline, Outcome& outcome) {
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      if (callers_[0] + callers_[1] == 0) {
        return;
      }
      if (Clock::now() >= deadline) {
        outcome.cutOff = callers_;
        return;
      }
    }
    pollfd wake{wakeup_.fd(), POLLIN, 0};
    ::poll(&wake, 1, pollTimeout(deadline));
    wakeup_.drain();
  }
}

}  // namespace printxpc
