#include "client/bus/bus_start_watch.h"

#include <cstdint>
#include <string_view>
#include <utility>

namespace printxpc::bus {
namespace {

constexpr const char* kManagerName = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";

// The manager sends job signals only to clients that subscribed. Never starts a manager
// that is not there (a bus without systemd).
bool subscribe(sd_bus* bus) {
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus, &raw, kManagerName, kManagerPath, kManagerInterface,
                                     "Subscribe") < 0) {
    return false;
  }
  const MessagePtr call(raw);
  if (sd_bus_message_set_auto_start(raw, 0) < 0) {
    return false;
  }
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  const int result = sd_bus_call(bus, raw, 0, &error, nullptr);
  sd_bus_error_free(&error);
  return result >= 0;
}

}  // namespace

StartWatch::StartWatch(sd_bus* bus, const std::string& busName, std::string unit)
    : unit_(std::move(unit)) {
  if (sd_bus_get_name_creds(bus, busName.c_str(), 0, nullptr) >= 0) {
    return;  // served already: nothing will be started
  }
  sd_bus_slot* slot = nullptr;
  if (sd_bus_match_signal(bus, &slot, nullptr, kManagerPath, kManagerInterface, "JobRemoved",
                          &StartWatch::onJobRemoved, this) < 0) {
    return;
  }
  slot_.reset(slot);
  if (!subscribe(bus)) {
    slot_.reset();
  }
}

int StartWatch::onJobRemoved(sd_bus_message* message, void* self, sd_bus_error* /*error*/) {
  auto* watch = static_cast<StartWatch*>(self);
  std::uint32_t id = 0;
  const char* job = nullptr;
  const char* unit = nullptr;
  const char* result = nullptr;
  if (sd_bus_message_read(message, "uoss", &id, &job, &unit, &result) < 0) {
    return 0;
  }
  if (watch->unit_ == unit && std::string_view(result) != "done") {
    watch->failure_ = result;
  }
  return 0;
}

}  // namespace printxpc::bus
