#include "service/readiness.h"

#include <systemd/sd-daemon.h>

#include <string>

namespace printxpc::readiness {
namespace {

void notify(std::string_view state, std::string_view status) {
  std::string message(state);
  message += "\nSTATUS=";
  // One line: a newline would start another assignment.
  for (const char c : status) {
    message += c == '\n' ? ' ' : c;
  }
  // Without a service manager there is nobody to tell; a failure to tell it changes
  // nothing the service does.
  (void)sd_notify(0, message.c_str());
}

}  // namespace

void ready(std::string_view status) { notify("READY=1", status); }

void stopping(std::string_view status) { notify("STOPPING=1", status); }

}  // namespace printxpc::readiness
