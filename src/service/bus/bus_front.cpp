#include "service/bus/bus_front.h"

#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/event_fd.h"
#include "common/peer_rule.h"
#include "common/unique_fd.h"
#include "protocol/bus_names.h"
#include "protocol/bus_support.h"
#include "service/core/exit_status.h"

namespace printxpc {
namespace {

using bus::BusPtr;
using bus::CredsPtr;
using bus::errorText;
using bus::isBusString;
using bus::MessagePtr;
using bus::SlotPtr;

// How often the standby looks at the reading thread while calls come in. A call still running
// at two looks in a row has the standby take over the reading. (A timer armed for each call
// would cost more than the hand-over that it spares: on a virtual machine, setting a timer
// traps to the host.)
constexpr std::chrono::milliseconds kLook{1};
// How long a thread that is no longer needed waits for work before it ends.
constexpr std::chrono::seconds kIdleEnd{5};
// Senders whose credentials are remembered; a bus daemon never gives a unique name out
// twice, so an entry cannot go stale, only the table grow.
constexpr std::size_t kMaxSenders = 1024;

Error startFailure(std::string message) { return {kExitFailure, std::move(message)}; }

// The D-Bus error for a transport error of the core.
const char* busError(std::uint16_t code) {
  switch (code) {
    case errorCode(TransportError::kFrameTooLarge):
      return bus::kErrorLimitsExceeded.data();
    case errorCode(TransportError::kNotAvailable):
      return bus::kErrorNotAvailable.data();
    default:
      return bus::kErrorBusy.data();
  }
}

}  // namespace

class BusFront::Impl {
 public:
  Impl(ServiceCore& core, BusFrontSettings settings)
      : core_(core), settings_(std::move(settings)) {}
  ~Impl() { stopThreads(); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  Status open();
  Status startThreads();
  void stopTaking();
  std::size_t threads() const {
    const std::lock_guard lock(rolesMutex_);
    return static_cast<std::size_t>(std::count_if(
        threads_.begin(), threads_.end(), [](const Thread& thread) { return !thread.finished; }));
  }

 private:
  // A call that the reading thread took off the bus, with the caller's place in the core.
  struct TakenCall {
    MessagePtr message;
    Operation operation;
    std::string_view request;  // within the message, which lives as long
    ServiceCore::Caller caller;
  };
  enum class Role { kReader, kStandby, kIdle, kEnd };
  struct Thread {
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  static int onMessage(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onCall(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onDisconnected(sd_bus_message* message, void* self, sd_bus_error* error);
  static int getText(sd_bus* bus, const char* path, const char* interface, const char* property,
                     sd_bus_message* reply, void* self, sd_bus_error* error);
  static int getModels(sd_bus* bus, const char* path, const char* interface, const char* property,
                       sd_bus_message* reply, void* self, sd_bus_error* error);

  Status connect();
  std::vector<sd_bus_vtable> makeVtable() const;
  std::optional<peer::Credentials> senderOf(sd_bus_message* message);
  int refuseUntrusted(sd_bus_message* message, sd_bus_error* error);
  int take(sd_bus_message* message, sd_bus_error* error);
  void answer(TakenCall& call, const Answer& answer);

  // The threads and their roles. One thread reads the bus at a time; the standby takes that
  // over from a reader whose call runs on for longer than a look.
  void threadMain(Role role, Thread& self);
  Role read();
  bool runCall(TakenCall& call);
  Role standBy();
  Role idle();
  Role afterHandedOverCall();
  bool spawnLocked(Role role);
  bool ensureStandby();
  void stopThreads();
  // Reads and dispatches what the bus has for us, up to a call taken; false once the
  // connection is gone.
  bool processBus();
  // Waits, without the bus lock, for the bus or a wake-up.
  void waitForWork(std::unique_lock<std::mutex>& lock);
  void wake() const { wakeup_.notify(); }
  void log(const std::string& message) const {
    if (settings_.log) {
      settings_.log(message);
    }
  }

  ServiceCore& core_;
  BusFrontSettings settings_;
  EventFd wakeup_;  // the bus wants writing, or the threads are to stop

  // sd-bus is not thread-safe: every use of the bus and its messages holds busMutex_. The
  // reading thread drops it while it waits and while it runs a call.
  std::mutex busMutex_;
  BusPtr bus_;
  std::vector<sd_bus_vtable> vtable_;  // registered with the bus: lives as long
  SlotPtr objectSlot_;
  SlotPtr filterSlot_;
  SlotPtr disconnectSlot_;
  bool connected_ = true;
  std::unordered_map<std::string, peer::Credentials> senders_;
  peer::Credentials current_;       // of the call being dispatched, once the rule let it in
  std::optional<TakenCall> taken_;  // the call that onCall took, for the reading thread

  mutable std::mutex rolesMutex_;
  std::condition_variable rolesChanged_;    // for idle threads
  std::condition_variable standbyChanged_;  // for the standby
  std::uint64_t readerTerm_ = 0;            // counts the hand-overs of the reading
  std::uint64_t readerCalls_ = 0;           // counts the calls that readers started
  bool readerRunsCall_ = false;
  bool standbySleeps_ = false;  // until a reader starts a call: nothing came for a look
  bool standbyPresent_ = false;
  bool standbyWanted_ = false;  // an idle thread is asked to become the standby
  std::size_t idle_ = 0;
  std::atomic<bool> stop_{false};
  std::list<Thread> threads_;
};

std::vector<sd_bus_vtable> BusFront::Impl::makeVtable() const {
  // Every method takes the request string and answers the reply string; one per operation
  // of the operation table, in its order.
  std::vector<sd_bus_vtable> table{SD_BUS_VTABLE_START(0)};
  for (const std::string& name : bus::methodNames()) {
    table.push_back(SD_BUS_METHOD_WITH_NAMES(name.c_str(), "s", SD_BUS_PARAM(request), "s",
                                             SD_BUS_PARAM(reply), onCall,
                                             SD_BUS_VTABLE_UNPRIVILEGED));
  }
  table.push_back(SD_BUS_PROPERTY("ProtocolName", "s", getText, 0, SD_BUS_VTABLE_PROPERTY_CONST));
  table.push_back(SD_BUS_PROPERTY("Version", "s", getText, 0, SD_BUS_VTABLE_PROPERTY_CONST));
  table.push_back(
      SD_BUS_PROPERTY("Models", "a(sssiii)", getModels, 0, SD_BUS_VTABLE_PROPERTY_CONST));
  table.push_back(SD_BUS_VTABLE_END);
  return table;
}

Status BusFront::Impl::connect() {
  int result = 0;
  // A bus daemon that starts the service names itself; otherwise the user's session bus.
  const char* starter = std::getenv("DBUS_STARTER_ADDRESS");
  const std::string address = !settings_.address.empty()       ? settings_.address
                              : starter != nullptr && *starter ? std::string(starter)
                                                               : std::string();
  if (!address.empty()) {
    result = bus::connectTo(address, bus_);
  } else {
    sd_bus* raw = nullptr;
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
    return startFailure("cannot make the bus front's wake-up descriptors: " + errorText(errno));
  }
  if (auto connected = connect(); !connected) {
    return connected;
  }
  sd_bus_slot* slot = nullptr;
  // Before any other handler: the peer rule decides for every method call, properties and
  // introspection included.
  int result = sd_bus_add_filter(bus_.get(), &slot, onMessage, this);
  filterSlot_.reset(slot);
  if (result < 0) {
    return startFailure("cannot watch the bus's calls: " + errorText(result));
  }
  vtable_ = makeVtable();
  result = sd_bus_add_object_vtable(bus_.get(), &slot, std::string(bus::kObjectPath).c_str(),
                                    std::string(bus::kInterface).c_str(), vtable_.data(), this);
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

Status BusFront::Impl::startThreads() {
  const std::lock_guard lock(rolesMutex_);
  if (!spawnLocked(Role::kReader)) {
    return startFailure("cannot start the bus thread");
  }
  standbyPresent_ = spawnLocked(Role::kStandby);  // else started with the first call
  return {};
}

bool BusFront::Impl::spawnLocked(Role role) {
  // Threads that ended are joined here, so that the list holds only the living.
  threads_.remove_if([](Thread& thread) {
    if (!thread.finished) {
      return false;
    }
    thread.thread.join();
    return true;
  });
  Thread& thread = threads_.emplace_back();
  try {
    thread.thread = std::thread([this, role, &thread] { threadMain(role, thread); });
  } catch (const std::system_error&) {
    threads_.pop_back();
    return false;
  }
  return true;
}

void BusFront::Impl::stopThreads() {
  {
    const std::lock_guard lock(rolesMutex_);
    stop_ = true;
  }
  rolesChanged_.notify_all();
  standbyChanged_.notify_all();
  wake();
  std::list<Thread> threads;
  {
    const std::lock_guard lock(rolesMutex_);
    threads.swap(threads_);
  }
  for (Thread& thread : threads) {
    thread.thread.join();
  }
}

void BusFront::Impl::threadMain(Role role, Thread& self) {
  while (role != Role::kEnd) {
    switch (role) {
      case Role::kReader:
        role = read();
        break;
      case Role::kStandby:
        role = standBy();
        break;
      case Role::kIdle:
        role = idle();
        break;
      case Role::kEnd:
        break;
    }
  }
  self.finished = true;
}

BusFront::Impl::Role BusFront::Impl::read() {
  std::unique_lock lock(busMutex_);
  for (;;) {
    connected_ = connected_ && processBus();
    if (taken_) {
      TakenCall call = std::move(*taken_);
      taken_.reset();
      lock.unlock();
      if (!runCall(call)) {
        return afterHandedOverCall();
      }
      lock.lock();
      continue;
    }
    if (stop_) {
      if (connected_) {
        sd_bus_flush(bus_.get());
      }
      return Role::kEnd;
    }
    waitForWork(lock);
  }
}

// Runs the call and answers it; true while this thread still reads the bus, false once the
// standby took that over.
bool BusFront::Impl::runCall(TakenCall& call) {
  std::uint64_t term = 0;
  bool wakeStandby = false;
  {
    const std::lock_guard lock(rolesMutex_);
    term = readerTerm_;
    readerRunsCall_ = true;
    ++readerCalls_;
    wakeStandby = std::exchange(standbySleeps_, false);
  }
  if (wakeStandby) {
    standbyChanged_.notify_one();
  }
  const Answer answered = call.caller.perform(call.operation, call.request);
  bool stillReading = false;
  {
    const std::lock_guard lock(rolesMutex_);
    if (readerTerm_ == term) {
      readerRunsCall_ = false;
      stillReading = true;
    }
  }
  answer(call, answered);
  return stillReading;
}

BusFront::Impl::Role BusFront::Impl::standBy() {
  std::unique_lock lock(rolesMutex_);
  std::optional<std::uint64_t> running;  // the reader's call seen running at the last look
  std::uint64_t calls = readerCalls_;
  for (;;) {
    if (stop_) {
      standbyPresent_ = false;
      return Role::kEnd;
    }
    if (readerRunsCall_ && running == readerCalls_) {
      // The reader is held up by its call: this thread reads the bus from now on, and
      // another one stands by.
      ++readerTerm_;
      readerRunsCall_ = false;
      standbyPresent_ = false;
      if (idle_ > 0) {
        standbyWanted_ = true;
        rolesChanged_.notify_one();
      } else {
        standbyPresent_ = spawnLocked(Role::kStandby);
      }
      return Role::kReader;
    }
    const bool active = readerRunsCall_ || readerCalls_ != calls;
    running = readerRunsCall_ ? std::optional(readerCalls_) : std::nullopt;
    calls = readerCalls_;
    if (active) {
      standbyChanged_.wait_for(lock, kLook);
    } else {
      standbySleeps_ = true;
      standbyChanged_.wait(lock, [this] { return stop_ || !standbySleeps_; });
    }
  }
}

BusFront::Impl::Role BusFront::Impl::afterHandedOverCall() {
  const std::lock_guard lock(rolesMutex_);
  if (stop_) {
    return Role::kEnd;
  }
  if (!standbyPresent_ && !standbyWanted_) {
    standbyPresent_ = true;
    return Role::kStandby;
  }
  return Role::kIdle;
}

BusFront::Impl::Role BusFront::Impl::idle() {
  std::unique_lock lock(rolesMutex_);
  ++idle_;
  const bool woken =
      rolesChanged_.wait_for(lock, kIdleEnd, [this] { return stop_ || standbyWanted_; });
  --idle_;
  if (!woken || stop_) {
    return Role::kEnd;
  }
  standbyWanted_ = false;
  standbyPresent_ = true;
  return Role::kStandby;
}

// A call is run by the reading thread only while a standby can take over the reading.
bool BusFront::Impl::ensureStandby() {
  const std::lock_guard lock(rolesMutex_);
  if (!standbyPresent_ && !standbyWanted_) {
    standbyPresent_ = spawnLocked(Role::kStandby);
  }
  return standbyPresent_ || standbyWanted_;
}

bool BusFront::Impl::processBus() {
  while (!taken_) {
    const int result = sd_bus_process(bus_.get(), nullptr);
    if (result < 0) {
      return false;
    }
    if (result == 0) {
      return true;
    }
  }
  return true;
}

void BusFront::Impl::waitForWork(std::unique_lock<std::mutex>& lock) {
  pollfd fds[2] = {{wakeup_.fd(), POLLIN, 0}, {-1, 0, 0}};
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
  lock.unlock();
  ::poll(fds, 2, timeout);
  lock.lock();
  if ((fds[0].revents & POLLIN) != 0) {
    wakeup_.drain();
  }
}

void BusFront::Impl::stopTaking() {
  const std::lock_guard lock(busMutex_);
  // Callers that come now start a new instance; the calls in progress still get answers.
  if (connected_) {
    sd_bus_release_name(bus_.get(), settings_.busName.c_str());
  }
}

std::optional<peer::Credentials> BusFront::Impl::senderOf(sd_bus_message* message) {
  const char* sender = sd_bus_message_get_sender(message);
  if (sender == nullptr) {
    return std::nullopt;
  }
  if (const auto known = senders_.find(sender); known != senders_.end()) {
    return known->second;
  }
  sd_bus_creds* raw = nullptr;
  if (sd_bus_query_sender_creds(message, SD_BUS_CREDS_EUID | SD_BUS_CREDS_PID, &raw) < 0) {
    return std::nullopt;
  }
  const CredsPtr creds(raw);
  peer::Credentials learnt;
  // The bus daemon reports the uid that the peer connected with (SO_PEERCRED), which sd-bus
  // gives as the effective uid.
  if (sd_bus_creds_get_euid(raw, &learnt.uid) < 0) {
    return std::nullopt;
  }
  (void)sd_bus_creds_get_pid(raw, &learnt.pid);  // 0 when the bus does not say
  if (senders_.size() >= kMaxSenders) {
    senders_.clear();
  }
  senders_.emplace(sender, learnt);
  return learnt;
}

// The callbacks below run inside sd-bus, which is C: no exception may leave them.

int BusFront::Impl::onMessage(sd_bus_message* message, void* self, sd_bus_error* error) {
  std::uint8_t type = 0;
  if (sd_bus_message_get_type(message, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL) {
    return 0;
  }
  try {
    return static_cast<Impl*>(self)->refuseUntrusted(message, error);
  } catch (const std::exception&) {
    return -ENOMEM;  // refused: the rule could not be applied
  }
}

int BusFront::Impl::refuseUntrusted(sd_bus_message* message, sd_bus_error* error) {
  const auto peer = senderOf(message);
  if (peer && peer::trusted(peer->uid)) {
    current_ = *peer;
    return 0;  // on to the object, the properties or the introspection
  }
  const char* sender = sd_bus_message_get_sender(message);
  core_.refused(Front::kBus, peer, sender != nullptr ? sender : "");
  // An error set here is the call's answer, and ends its dispatch.
  return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED,
                          "this service serves only its own user and root");
}

int BusFront::Impl::onCall(sd_bus_message* message, void* self, sd_bus_error* error) {
  try {
    return static_cast<Impl*>(self)->take(message, error);
  } catch (const std::exception&) {
    return sd_bus_error_set(error, bus::kErrorBusy.data(),
                            "the service ran out of memory for this call; try again later");
  }
}

int BusFront::Impl::take(sd_bus_message* message, sd_bus_error* error) {
  const char* member = sd_bus_message_get_member(message);
  const auto operation = bus::operationOfMethod(member != nullptr ? member : "");
  if (!operation) {
    return sd_bus_error_setf(error, SD_BUS_ERROR_UNKNOWN_METHOD, "no method named '%s'",
                             member != nullptr ? member : "");
  }
  const char* request = nullptr;
  if (const int result = sd_bus_message_read(message, "s", &request); result < 0) {
    // The bus daemon passed a string that sd-bus will not read: one with a noncharacter.
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS,
                             "the request string cannot be read (%s): this service's D-Bus "
                             "library takes UTF-8 without noncharacters such as U+FFFE",
                             errorText(result).c_str());
  }
  const std::size_t length = std::strlen(request);
  auto caller = core_.admit(Front::kBus, current_.uid, length);
  if (!caller) {
    return sd_bus_error_set(error, busError(caller.error().code), caller.error().message.c_str());
  }
  if (!ensureStandby()) {
    return sd_bus_error_set(error, bus::kErrorBusy.data(),
                            "the service cannot start a thread now; try again later");
  }
  taken_.emplace(TakenCall{MessagePtr(sd_bus_message_ref(message)), *operation,
                           std::string_view(request, length), std::move(*caller)});
  return 1;  // answered by the thread that runs it
}

void BusFront::Impl::answer(TakenCall& call, const Answer& answered) {
  const std::lock_guard lock(busMutex_);
  sd_bus_message* message = call.message.get();
  int result = 0;
  if (!connected_) {
    // Nobody to answer.
  } else if (!answered) {
    result = sd_bus_reply_method_errorf(message, busError(answered.error().code), "%s",
                                        answered.error().message.c_str());
  } else if (!isBusString(*answered)) {
    result = sd_bus_reply_method_errorf(
        message, bus::kErrorNotText.data(),
        "the reply (%zu bytes) is not UTF-8 text without NUL and noncharacters", answered->size());
  } else {
    result = sd_bus_reply_method_return(message, "s", answered->c_str());
    if (result < 0) {
      // sd-bus would not carry it after all: the caller still gets an answer.
      result =
          sd_bus_reply_method_errorf(message, bus::kErrorNotText.data(),
                                     "the reply could not be sent: %s", errorText(result).c_str());
    }
  }
  if (result < 0) {
    log("cannot answer a bus call: " + errorText(result));
  }
  call.message.reset();  // under the lock, as every use of a message
  // The reading thread waits with the events of before: wake it when the reply is not all
  // written yet.
  if (connected_ && (sd_bus_get_events(bus_.get()) & POLLOUT) != 0) {
    wake();
  }
}

int BusFront::Impl::onDisconnected(sd_bus_message* /*message*/, void* self,
                                   sd_bus_error* /*error*/) {
  try {
    static_cast<Impl*>(self)->log("lost the session bus; serving the socket only");
  } catch (const std::exception&) {
    // Not told, then.
  }
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
    std::string key;
    try {
      key = row.jobTicketKey;
    } catch (const std::exception&) {
      return -ENOMEM;
    }
    result = sd_bus_message_append(reply, "(sssiii)", row.manufacturer, row.modelName, key.c_str(),
                                   row.encryptionType, row.encryptionKeyID, row.encryptionModelID);
  }
  return result < 0 ? result : sd_bus_message_close_container(reply);
}

Result<std::unique_ptr<BusFront>> BusFront::start(ServiceCore& core, BusFrontSettings settings) {
  auto impl = std::make_unique<Impl>(core, std::move(settings));
  if (auto opened = impl->open(); !opened) {
    return std::move(opened).error();
  }
  if (auto started = impl->startThreads(); !started) {
    return std::move(started).error();
  }
  auto front = std::make_unique<BusFront>(std::move(impl));
  core.attach([raw = front.get()] { raw->stopTaking(); });
  return front;
}

BusFront::BusFront(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

BusFront::~BusFront() = default;

void BusFront::stopTaking() { impl_->stopTaking(); }

std::size_t BusFront::threads() const { return impl_->threads(); }

}  // namespace printxpc
