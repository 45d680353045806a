#include "service/bus_call.h"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>

#include "printxpc/errors.h"
#include "service/bus_names.h"
#include "service/bus_support.h"

namespace printxpc::bus {
namespace {

// A GET may wait long for a silent printer; the service bounds every operation itself.
constexpr std::uint64_t kCallTimeoutUsec = 24ULL * 3600 * 1000 * 1000;

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
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  sd_bus_message* rawReply = nullptr;
  result = sd_bus_call(raw, rawCall, kCallTimeoutUsec, &error, &rawReply);
  const MessagePtr reply(rawReply);
  if (result < 0) {
    std::string message = error.name != nullptr ? std::string(error.name) + ": " : "";
    message += error.message != nullptr ? error.message : errorText(result);
    sd_bus_error_free(&error);
    return failure(ClientError::kIo, std::move(message));
  }
  const char* answer = nullptr;
  if (const int read = sd_bus_message_read(rawReply, "s", &answer); read < 0) {
    return failure(ClientError::kProtocol, "the reply is not one string: " + errorText(read));
  }
  return std::string(answer);
}

}  // namespace printxpc::bus
