#include "service/bus_call.h"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>

#include "printxpc/errors.h"
#include "service/bus_names.h"
#include "service/bus_start_watch.h"
#include "service/bus_support.h"

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

}  // namespace

Result<std::string> callOverBus(const BuildIdentity& build, Operation operation,
                                std::string_view request) {
  if (!isBusString(request)) {
    return failure(ClientError::kInvalidArgument,
                   "the request string is not UTF-8 text without NUL, which the bus carries");
  }
  sd_bus* raw = nullptr;
  const int opened = sd_bus_open_user(&raw);
  const BusPtr bus(raw);
  if (opened < 0) {
    return failure(ClientError::kCannotConnect,
                   "cannot connect to the session bus: " + errorText(opened));
  }
  sd_bus_message* rawCall = nullptr;
  const std::string name = busName(build);
  int result = sd_bus_message_new_method_call(
      raw, &rawCall, name.c_str(), std::string(kObjectPath).c_str(),
      std::string(kInterface).c_str(), std::string(methodOf(operation)).c_str());
  const MessagePtr call(rawCall);
  const std::string text(request);
  if (result >= 0) {
    result = sd_bus_message_append(rawCall, "s", text.c_str());
  }
  if (result < 0) {
    return failure(ClientError::kIo, "cannot build the call: " + errorText(result));
  }
  StartWatch start(raw, name, std::string(build.name) + ".service");
  PendingReply pending;
  sd_bus_slot* rawSlot = nullptr;
  result =
      sd_bus_call_async(raw, &rawSlot, rawCall, &PendingReply::onReply, &pending, kCallTimeoutUsec);
  const SlotPtr slot(rawSlot);
  while (result >= 0 && !pending.reply && start.failure().empty()) {
    result = sd_bus_process(raw, nullptr);
    if (result == 0) {
      result = sd_bus_wait(raw, UINT64_MAX);
    }
  }
  if (!start.failure().empty()) {
    return failure(ClientError::kCannotConnect,
                   std::string(build.name) + " could not start (its start job ended '" +
                       start.failure() + "'); see systemctl --user status " +
                       std::string(build.name));
  }
  if (result < 0) {
    return failure(ClientError::kIo, "the bus connection failed: " + errorText(result));
  }
  sd_bus_message* rawReply = pending.reply.get();
  if (const sd_bus_error* error = sd_bus_message_get_error(rawReply); error != nullptr) {
    std::string message = error->name != nullptr ? std::string(error->name) + ": " : "";
    message += error->message != nullptr ? error->message : "the call failed";
    return failure(ClientError::kIo, std::move(message));
  }
  const char* answer = nullptr;
  if (const int read = sd_bus_message_read(rawReply, "s", &answer); read < 0) {
    return failure(ClientError::kProtocol, "the reply is not one string: " + errorText(read));
  }
  return std::string(answer);
}

}  // namespace printxpc::bus
