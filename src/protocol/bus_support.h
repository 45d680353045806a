// What the bus front and the bus client share: owning handles of sd-bus objects, error texts
// and the rule for what a bus string may hold.
#pragma once

#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/text.h"

namespace printxpc::bus {

struct BusUnref {
  // Flushed first, so that replies and calls queued on the way out still leave.
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
struct CredsUnref {
  void operator()(sd_bus_creds* creds) const { sd_bus_creds_unref(creds); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;
using CredsPtr = std::unique_ptr<sd_bus_creds, CredsUnref>;

// A connection to the bus at `address` ("unix:path=..."), as a client of its daemon: the
// sd-bus result (negative errno on failure) and the connection, null on failure.
inline int connectTo(const std::string& address, BusPtr& bus) {
  sd_bus* raw = nullptr;
  int result = sd_bus_new(&raw);
  bus.reset(raw);
  if (result >= 0) {
    result = sd_bus_set_address(raw, address.c_str());
  }
  if (result >= 0) {
    result = sd_bus_set_bus_client(raw, 1);
  }
  if (result >= 0) {
    result = sd_bus_start(raw);
  }
  if (result < 0) {
    bus.reset();
  }
  return result;
}

// The text of an error number, as sd-bus returns them (negative) or as errno holds them.
inline std::string errorText(int error) { return std::strerror(error < 0 ? -error : error); }

// What sd-bus puts into a message as a string, and so what it delivers: UTF-8 without NUL
// and without Unicode noncharacters (U+FFFE and the like), which the D-Bus wire format
// allows but sd-bus refuses. Any other text cannot travel over this bus connection.
inline bool isBusString(std::string_view text) {
  return text.find('\0') == std::string_view::npos && text::isValidUtf8(text) &&
         !text::hasNoncharacter(text);
}

}  // namespace printxpc::bus
