#include "service/bus_front.h"

#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/event_fd.h"
#include "protocol/wire.h"
#include "service/bus_names.h"
#include "service/bus_support.h"
#include "service/exit_status.h"

namespace printxpc {
namespace {

using Clock = std::chrono::steady_clock;

using bus::BusPtr;
using bus::CredsPtr;
using bus::errorText;
using bus::isBusString;
using bus::MessagePtr;
using bus::SlotPtr;

constexpr std::string_view kErrorNotAvailable = "org.printxpc.Service1.Error.NotAvailable";
// Senders whose uid is remembered; a bus daemon never gives a unique name out twice, so an
// entry cannot go stale, only the table grow.
constexpr std::size_t kMaxSenders = 1024;

// Threads that run the calls: started when a call finds none idle, kept for later calls.
// Their number stays within the calls allowed at once, since each runs one call.
class Workers {
 public:
  Workers() = default;
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (auto& thread : threads_) {
      thread.join();
    }
  }

  void post(std::function<void()> task) {
    std::unique_lock lock(mutex_);
    tasks_.push_back(std::move(task));
    if (tasks_.size() > idle_) {
      threads_.emplace_back([this] { work(); });
      return;
    }
    // Woken after the unlock, so that the worker does not run into the lock at once.
    lock.unlock();
    ready_.notify_one();
  }

 private:
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      ready_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      --idle_;
      if (tasks_.empty()) {
        return;
      }
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

Error startFailure(std::string message) { return {kExitFailure, std::move(message)}; }

}  // namespace

class BusFront::Impl {
 public:
  Impl(BusFrontSettings settings, std::function<RequestHandler()> makeHandler, int signalFd)
      : settings_(std::move(settings)), makeHandler_(std::move(makeHandler)), signalFd_(signalFd) {}

  Status open();
  void run();
  void stop();
  bool waitFinished(std::chrono::milliseconds bound);
  std::size_t callsInProgress() const { return running_; }
  Clock::time_point lastActivity() const {
    return running_ > 0 ? Clock::now() : Clock::time_point(Clock::duration(lastActivity_));
  }

 private:
  static int onCall(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onDisconnected(sd_bus_message* message, void* self, sd_bus_error* error);
  static int getText(sd_bus* bus, const char* path, const char* interface, const char* property,
                     sd_bus_message* reply, void* self, sd_bus_error* error);
  static int getModels(sd_bus* bus, const char* path, const char* interface, const char* property,
                       sd_bus_message* reply, void* self, sd_bus_error* error);

  Status connect();
  int accept(sd_bus_message* message, sd_bus_error* error);
  bool callerAllowed(sd_bus_message* message);
  void runCall(std::uint64_t id, Operation operation, const std::string& request);
  void sendReply(std::uint64_t id, const std::optional<std::string>& reply);
  // Reads and dispatches what the bus has for us; false once the connection is gone.
  bool processBus();
  // Waits, without the bus lock, for the bus, a wake-up or the stop signal.
  void waitForWork(std::unique_lock<std::mutex>& lock);
  void beginStop();
  void wake() const { wakeup_.notify(); }
  void activity() { lastActivity_ = Clock::now().time_since_epoch().count(); }
  void log(const std::string& message) const {
    if (settings_.log) {
      settings_.log(message);
    }
  }

  static const sd_bus_vtable kVtable[];

  BusFrontSettings settings_;
  std::function<RequestHandler()> makeHandler_;
  EventFd wakeup_;  // the bus wants writing, or a stop was asked for
  int signalFd_;

  // sd-bus is not thread-safe: every use of the bus and its messages holds busMutex_. The
  // bus thread drops it only while it waits; workers take it to send their replies.
  std::mutex busMutex_;
  BusPtr bus_;
  SlotPtr objectSlot_;
  SlotPtr disconnectSlot_;
  bool connected_ = true;
  bool stopping_ = false;
  std::uint64_t nextId_ = 0;
  std::map<std::uint64_t, MessagePtr> pending_;  // calls awaiting their reply
  std::unordered_map<std::string, uid_t> senderUids_;
  std::vector<std::function<void()>> accepted_;  // calls for the workers

  std::atomic<bool> stopRequested_{false};
  std::atomic<std::size_t> running_{0};
  std::atomic<Clock::rep> lastActivity_{0};

  std::mutex finishedMutex_;
  std::condition_variable finishedChanged_;
  bool finished_ = false;

  Workers workers_;  // last: its threads end before the members they use
};

// Every method takes the request string and answers the reply string.
#define PRINTXPC_BUS_METHOD(name)                                                              \
  SD_BUS_METHOD_WITH_NAMES(name, "s", SD_BUS_PARAM(request), "s", SD_BUS_PARAM(reply), onCall, \
                           SD_BUS_VTABLE_UNPRIVILEGED)

const sd_bus_vtable BusFront::Impl::kVtable[] = {
    SD_BUS_VTABLE_START(0),
    PRINTXPC_BUS_METHOD("IsFilePathWritable"),
    PRINTXPC_BUS_METHOD("WriteDictionaryToPlistFile"),
    PRINTXPC_BUS_METHOD("SendMagicPacket"),
    PRINTXPC_BUS_METHOD("SendEchoAndRecvReply"),
    PRINTXPC_BUS_METHOD("PdeSnmpGet"),
    PRINTXPC_BUS_METHOD("CancelFileWrite"),
    SD_BUS_PROPERTY("ProtocolName", "s", getText, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Version", "s", getText, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Models", "a(sssiii)", getModels, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};

#undef PRINTXPC_BUS_METHOD

Status BusFront::Impl::connect() {
  sd_bus* raw = nullptr;
  int result = 0;
  // A bus daemon that starts the service names itself; otherwise the user's session bus.
  const char* starter = std::getenv("DBUS_STARTER_ADDRESS");
  if (starter != nullptr && *starter != '\0') {
    result = sd_bus_new(&raw);
    bus_.reset(raw);
    if (result >= 0) {
      result = sd_bus_set_address(raw, starter);
    }
    if (result >= 0) {
      result = sd_bus_set_bus_client(raw, 1);
    }
    if (result >= 0) {
      result = sd_bus_start(raw);
    }
  } else {
    result = sd_bus_open_user(&raw);
    bus_.reset(raw);
  }
  if (result < 0) {
    return startFailure("cannot connect to the session bus: " + errorText(result));
  }
  return {};
}

Status BusFront::Impl::open() {
  if (!wakeup_.valid()) {
    return startFailure("cannot make an eventfd: " + errorText(wakeup_.error()));
  }
  if (auto connected = connect(); !connected) {
    return connected;
  }
  sd_bus_slot* slot = nullptr;
  int result = sd_bus_add_object_vtable(bus_.get(), &slot, std::string(bus::kObjectPath).c_str(),
                                        std::string(bus::kInterface).c_str(), kVtable, this);
  objectSlot_.reset(slot);
  if (result < 0) {
    return startFailure("cannot register the bus object: " + errorText(result));
  }
  result = sd_bus_match_signal(bus_.get(), &slot, nullptr, "/org/freedesktop/DBus/Local",
                               "org.freedesktop.DBus.Local", "Disconnected", onDisconnected, this);
  disconnectSlot_.reset(slot);
  if (result < 0) {
    return startFailure("cannot watch the bus connection: " + errorText(result));
  }
  result = sd_bus_request_name(bus_.get(), settings_.busName.c_str(), 0);
  if (result == -EEXIST || result == -EALREADY) {
    return startFailure("the name " + settings_.busName + " is already taken on the session bus");
  }
  if (result < 0) {
    return startFailure("cannot take the name " + settings_.busName + ": " + errorText(result));
  }
  return {};
}

void BusFront::Impl::run() {
  std::unique_lock lock(busMutex_);
  for (;;) {
    connected_ = connected_ && processBus();
    if (stopRequested_ && !stopping_) {
      beginStop();
    }
    if (stopping_ && running_ == 0) {
      break;
    }
    waitForWork(lock);
  }
  if (connected_) {
    sd_bus_flush(bus_.get());
  }
  lock.unlock();
  {
    const std::lock_guard finished(finishedMutex_);
    finished_ = true;
  }
  finishedChanged_.notify_all();
}

bool BusFront::Impl::processBus() {
  for (;;) {
    const int result = sd_bus_process(bus_.get(), nullptr);
    if (result < 0) {
      return false;
    }
    if (result == 0) {
      return true;
    }
  }
}

void BusFront::Impl::waitForWork(std::unique_lock<std::mutex>& lock) {
  pollfd fds[3] = {{wakeup_.fd(), POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
  int timeout = -1;
  const int busFd = connected_ ? sd_bus_get_fd(bus_.get()) : -1;
  const int busEvents = connected_ ? sd_bus_get_events(bus_.get()) : -1;
  connected_ = busFd >= 0 && busEvents >= 0;  // a bus that is closing has neither
  if (connected_) {
    fds[1].fd = busFd;
    fds[1].events = static_cast<short>(busEvents);
    std::uint64_t until = 0;
    // sd-bus's deadline (of a call that it waits for) is absolute on CLOCK_MONOTONIC.
    if (sd_bus_get_timeout(bus_.get(), &until) > 0 && until != UINT64_MAX) {
      timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000U +
                                    static_cast<std::uint64_t>(now.tv_nsec) / 1000U;
      timeout =
          until > nowUsec
              ? static_cast<int>(std::min<std::uint64_t>((until - nowUsec + 999) / 1000, 60000))
              : 0;
    }
  }
  if (!stopping_) {
    fds[2].fd = signalFd_;
    fds[2].events = POLLIN;
  }
  // Handed to the workers only now: a worker that ran at once would find the lock held.
  std::vector<std::function<void()>> accepted;
  accepted.swap(accepted_);
  lock.unlock();
  for (auto& call : accepted) {
    workers_.post(std::move(call));
  }
  ::poll(fds, 3, timeout);
  lock.lock();
  if ((fds[0].revents & POLLIN) != 0) {
    wakeup_.drain();
  }
  // The signal stays pending for the socket front, which reads it; this only stops.
  if ((fds[2].revents & POLLIN) != 0) {
    beginStop();
  }
}

void BusFront::Impl::stop() {
  stopRequested_ = true;
  wake();
}

bool BusFront::Impl::waitFinished(std::chrono::milliseconds bound) {
  std::unique_lock lock(finishedMutex_);
  return finishedChanged_.wait_for(lock, bound, [this] { return finished_; });
}

int BusFront::Impl::onCall(sd_bus_message* message, void* self, sd_bus_error* error) {
  return static_cast<Impl*>(self)->accept(message, error);
}

int BusFront::Impl::accept(sd_bus_message* message, sd_bus_error* error) {
  const char* member = sd_bus_message_get_member(message);
  const auto operation = bus::operationOfMethod(member != nullptr ? member : "");
  if (!operation) {
    return sd_bus_error_setf(error, SD_BUS_ERROR_UNKNOWN_METHOD, "no method named '%s'",
                             member != nullptr ? member : "");
  }
  if (!callerAllowed(message)) {
    return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED,
                            "this service serves only its own user and root");
  }
  const char* request = nullptr;
  if (const int result = sd_bus_message_read(message, "s", &request); result < 0) {
    return result;
  }
  // The socket's bound on a request, which also bounds the copies that calls in progress hold.
  if (std::strlen(request) > wire::kMaxPayload) {
    return sd_bus_error_setf(error, SD_BUS_ERROR_LIMITS_EXCEEDED,
                             "the request string is above %u bytes", wire::kMaxPayload);
  }
  if (running_ >= settings_.maxCalls) {
    return sd_bus_error_setf(error, std::string(bus::kErrorBusy).c_str(),
                             "too many calls in progress (%zu); try again later",
                             settings_.maxCalls);
  }
  const std::uint64_t id = nextId_++;
  pending_.emplace(id, MessagePtr(sd_bus_message_ref(message)));
  ++running_;
  activity();
  accepted_.emplace_back([this, id, operation = *operation, text = std::string(request)] {
    runCall(id, operation, text);
  });
  return 1;  // answered later, by the worker
}

bool BusFront::Impl::callerAllowed(sd_bus_message* message) {
  const char* sender = sd_bus_message_get_sender(message);
  if (sender == nullptr) {
    return false;
  }
  auto known = senderUids_.find(sender);
  if (known == senderUids_.end()) {
    sd_bus_creds* raw = nullptr;
    if (sd_bus_query_sender_creds(message, SD_BUS_CREDS_UID | SD_BUS_CREDS_EUID, &raw) < 0) {
      return false;
    }
    const CredsPtr creds(raw);
    uid_t uid = 0;
    // The bus daemon reports the uid that the peer connected with (SO_PEERCRED).
    if (sd_bus_creds_get_euid(raw, &uid) < 0 && sd_bus_creds_get_uid(raw, &uid) < 0) {
      return false;
    }
    if (senderUids_.size() >= kMaxSenders) {
      senderUids_.clear();
    }
    known = senderUids_.emplace(sender, uid).first;
  }
  return known->second == ::geteuid() || known->second == 0;
}

void BusFront::Impl::runCall(std::uint64_t id, Operation operation, const std::string& request) {
  std::optional<std::string> reply;
  try {
    reply = makeHandler_()(operation, request);
  } catch (...) {  // out of memory: the caller hears "not available" rather than nothing
    reply.reset();
  }
  {
    const std::lock_guard lock(busMutex_);
    sendReply(id, reply);
    activity();  // before the count drops, so that the idle time never sees an old time
    --running_;
    // The bus thread waits with the events of before: wake it when the reply is not all
    // written yet, or when it waits for the last call to stop.
    if ((connected_ && (sd_bus_get_events(bus_.get()) & POLLOUT) != 0) ||
        (stopping_ && running_ == 0)) {
      wake();
    }
  }
}

void BusFront::Impl::sendReply(std::uint64_t id, const std::optional<std::string>& reply) {
  const auto entry = pending_.find(id);
  if (entry == pending_.end()) {
    return;
  }
  sd_bus_message* call = entry->second.get();
  if (!connected_) {
    // Nobody to answer.
  } else if (!reply) {
    sd_bus_reply_method_errorf(call, std::string(kErrorNotAvailable).c_str(),
                               "%s is not available in this version of the service",
                               sd_bus_message_get_member(call));
  } else if (!isBusString(*reply)) {
    sd_bus_reply_method_errorf(call, std::string(bus::kErrorNotText).c_str(),
                               "the reply (%zu bytes) is not UTF-8 text without NUL",
                               reply->size());
  } else {
    sd_bus_reply_method_return(call, "s", reply->c_str());
  }
  pending_.erase(entry);
}

void BusFront::Impl::beginStop() {
  if (stopping_) {
    return;
  }
  stopping_ = true;
  // Callers that come now start a new instance; the calls in progress still get answers.
  if (connected_) {
    sd_bus_release_name(bus_.get(), settings_.busName.c_str());
  }
}

int BusFront::Impl::onDisconnected(sd_bus_message* /*message*/, void* self,
                                   sd_bus_error* /*error*/) {
  static_cast<Impl*>(self)->log("lost the session bus; serving the socket only");
  return 0;
}

int BusFront::Impl::getText(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/,
                            const char* property, sd_bus_message* reply, void* self,
                            sd_bus_error* /*error*/) {
  const auto& settings = static_cast<Impl*>(self)->settings_;
  const std::string& text =
      std::string_view(property) == "Version" ? settings.version : settings.protocolName;
  return sd_bus_message_append(reply, "s", text.c_str());
}

int BusFront::Impl::getModels(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/,
                              const char* /*property*/, sd_bus_message* reply, void* self,
                              sd_bus_error* /*error*/) {
  const auto& settings = static_cast<Impl*>(self)->settings_;
  int result = sd_bus_message_open_container(reply, 'a', "(sssiii)");
  for (const auto& row : settings.models->rows()) {
    if (result < 0) {
      return result;
    }
    const std::string key(row.jobTicketKey);
    result = sd_bus_message_append(reply, "(sssiii)", row.manufacturer, row.modelName, key.c_str(),
                                   row.encryptionType, row.encryptionKeyID, row.encryptionModelID);
  }
  return result < 0 ? result : sd_bus_message_close_container(reply);
}

Result<std::unique_ptr<BusFront>> BusFront::start(BusFrontSettings settings,
                                                  std::function<RequestHandler()> makeHandler,
                                                  int signalFd) {
  auto impl = std::make_unique<Impl>(std::move(settings), std::move(makeHandler), signalFd);
  if (auto opened = impl->open(); !opened) {
    return std::move(opened).error();
  }
  return std::make_unique<BusFront>(std::move(impl));
}

BusFront::BusFront(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)), thread_([impl = impl_.get()] { impl->run(); }) {}

BusFront::~BusFront() {
  impl_->stop();
  thread_.join();
}

std::size_t BusFront::callsInProgress() const { return impl_->callsInProgress(); }

std::chrono::steady_clock::time_point BusFront::lastActivity() const {
  return impl_->lastActivity();
}

void BusFront::stop() { impl_->stop(); }

bool BusFront::finish(std::chrono::milliseconds bound) {
  impl_->stop();
  return impl_->waitFinished(bound);
}

}  // namespace printxpc
