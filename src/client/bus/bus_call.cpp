#include "client/bus/bus_call.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "client/bus/bus_start_watch.h"
#include "common/peer_rule.h"
#include "printxpc/errors.h"
#include "protocol/bus_names.h"
#include "protocol/bus_support.h"

namespace printxpc::bus {
namespace {

// A GET may wait long for a silent printer; the service bounds every operation itself.
constexpr std::uint64_t kCallTimeoutUsec = 24ULL * 3600 * 1000 * 1000;

// The answer to an asynchronous call: its reply or error message, once it came.
struct PendingReply {
  MessagePtr reply;
  static int onReply(sd_bus_message* message, void* self, sd_bus_error* /*error*/) {
    static_cast<PendingReply*>(self)->reply.reset(sd_bus_message_ref(message));
    return 0;
  }
};

Error failure(ClientError code, std::string message) {
  return {errorCode(code), std::move(message)};
}

// "org.freedesktop.DBus.Error.ServiceUnknown: ..." of an error reply; empty for a reply.
std::string errorOf(sd_bus_message* reply) {
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  if (error == nullptr) {
    return {};
  }
  std::string message = error->name != nullptr ? std::string(error->name) + ": " : "";
  message += error->message != nullptr ? error->message : "the call failed";
  return message;
}

// Sends the call and waits for its answer, or until the start being watched (if any) fails.
Result<MessagePtr> await(sd_bus* bus, sd_bus_message* call, const StartWatch* start) {
  PendingReply pending;
  sd_bus_slot* rawSlot = nullptr;
  int result =
      sd_bus_call_async(bus, &rawSlot, call, &PendingReply::onReply, &pending, kCallTimeoutUsec);
  const SlotPtr slot(rawSlot);
  while (result >= 0 && !pending.reply && (start == nullptr || start->failure().empty())) {
    result = sd_bus_process(bus, nullptr);
    if (result == 0) {
      result = sd_bus_wait(bus, UINT64_MAX);
    }
  }
  if (result < 0) {
    return failure(ClientError::kIo, "the bus connection failed: " + errorText(result));
  }
  return std::move(pending.reply);  // null when the start failed
}

struct Owner {
  std::string uniqueName;
  uid_t uid = 0;
};

// Who owns the name now; nullopt when nobody does.
Result<std::optional<Owner>> ownerOf(sd_bus* bus, const std::string& name) {
  sd_bus_creds* raw = nullptr;
  const int result =
      sd_bus_get_name_creds(bus, name.c_str(), SD_BUS_CREDS_UNIQUE_NAME | SD_BUS_CREDS_EUID, &raw);
  const CredsPtr creds(raw);
  if (result == -ENXIO || result == -ESRCH) {
    return std::optional<Owner>();
  }
  Owner owner;
  const char* unique = nullptr;
  // The bus daemon reports the uid that the owner connected with; sd-bus gives it as the
  // effective uid, and has no other uid of a peer of dbus-daemon.
  if (result < 0 || sd_bus_creds_get_unique_name(raw, &unique) < 0 ||
      sd_bus_creds_get_euid(raw, &owner.uid) < 0) {
    return failure(ClientError::kServerNotTrusted,
                   "cannot learn who owns " + name + " on the session bus" +
                       (result < 0 ? ": " + errorText(result) : std::string()));
  }
  owner.uniqueName = unique;
  return std::optional<Owner>(std::move(owner));
}

// Has the bus start the name's service, following the unit's start job on a user manager.
Status startService(sd_bus* bus, const BuildIdentity& build, const std::string& name) {
  sd_bus_message* raw = nullptr;
  int result =
      sd_bus_message_new_method_call(bus, &raw, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "StartServiceByName");
  const MessagePtr call(raw);
  if (result >= 0) {
    result = sd_bus_message_append(raw, "su", name.c_str(), 0U);
  }
  if (result < 0) {
    return failure(ClientError::kIo, "cannot build the call: " + errorText(result));
  }
  const StartWatch start(bus, name, std::string(build.name) + ".service");
  auto reply = await(bus, raw, &start);
  if (!reply) {
    return std::move(reply).error();
  }
  if (!start.failure().empty()) {
    return failure(ClientError::kCannotConnect,
                   std::string(build.name) + " could not start (its start job ended '" +
                       start.failure() + "'); see systemctl --user status " +
                       std::string(build.name));
  }
  if (std::string error = errorOf(reply->get()); !error.empty()) {
    return failure(ClientError::kIo, std::move(error));
  }
  return {};
}

// The unique name of the name's owner, started first if need be, when the peer rule trusts
// it.
Result<std::string> trustedOwner(sd_bus* bus, const BuildIdentity& build) {
  const std::string name = busName(build);
  auto owner = ownerOf(bus, name);
  if (owner && !*owner) {
    if (auto started = startService(bus, build, name); !started) {
      return std::move(started).error();
    }
    owner = ownerOf(bus, name);
  }
  if (!owner) {
    return std::move(owner).error();
  }
  if (!*owner) {
    return failure(ClientError::kCannotConnect, name + " left the bus as soon as it started");
  }
  const Owner& found = **owner;
  if (!peer::trusted(found.uid)) {
    return failure(ClientError::kServerNotTrusted,
                   "server not trusted: " + name + " is owned by uid " + std::to_string(found.uid) +
                       " (" + found.uniqueName + "), neither this user (uid " +
                       std::to_string(::geteuid()) + ") nor root");
  }
  return found.uniqueName;
}

}  // namespace

Result<std::string> callOverBus(const BuildIdentity& build, Operation operation,
                                std::string_view request) {
  if (!isBusString(request)) {
    return failure(ClientError::kInvalidArgument,
                   "the request string is not UTF-8 text without NUL and noncharacters, which "
                   "the bus carries");
  }
  sd_bus* raw = nullptr;
  const int opened = sd_bus_open_user(&raw);
  const BusPtr bus(raw);
  if (opened < 0) {
    return failure(ClientError::kCannotConnect,
                   "cannot connect to the session bus: " + errorText(opened));
  }
  const auto owner = trustedOwner(raw, build);
  if (!owner) {
    return owner.error();
  }
  sd_bus_message* rawCall = nullptr;
  int result = sd_bus_message_new_method_call(
      raw, &rawCall, owner->c_str(), std::string(kObjectPath).c_str(),
      std::string(kInterface).c_str(), std::string(methodOf(operation)).c_str());
  const MessagePtr call(rawCall);
  const std::string text(request);
  if (result >= 0) {
    result = sd_bus_message_append(rawCall, "s", text.c_str());
  }
  if (result < 0) {
    return failure(ClientError::kIo, "cannot build the call: " + errorText(result));
  }
  auto reply = await(raw, rawCall, nullptr);
  if (!reply) {
    return std::move(reply).error();
  }
  if (std::string error = errorOf(reply->get()); !error.empty()) {
    return failure(ClientError::kIo, std::move(error));
  }
  const char* answer = nullptr;
  if (const int read = sd_bus_message_read(reply->get(), "s", &answer); read < 0) {
    return failure(ClientError::kProtocol, "the reply is not one string: " + errorText(read));
  }
  return std::string(answer);
}

}  // namespace printxpc::bus
