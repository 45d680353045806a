// The service's log: structured entries in the journal when standard error is connected to
// it (JOURNAL_STREAM), otherwise one line per entry on standard error.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "common/escape.h"

namespace printxpc::log {

// Syslog priorities.
enum class Level : int { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

// "error", "warning", "notice", "info" or "debug".
std::optional<Level> parseLevel(std::string_view name);
// Entries above the level are dropped (initially info).
void setLevel(Level level);
bool enabled(Level level);
// The program name that starts each line and names the entries in the journal.
void setIdentifier(std::string_view identifier);

// A journal field: NAME in upper case, any value (control characters are escaped on
// standard error).
struct Field {
  std::string_view name;
  std::string value;
};
void write(Level level, std::string_view message, std::initializer_list<Field> fields = {});

// The escaping of every line on standard error (common/escape.h), for other logs that carry
// values a client chose.
using ::printxpc::appendEscaped;

// Events reported from more than one place, or from code without the service's types.
// The ICMP echo probe cannot open its socket; logged once per process, with the fix.
void icmpUnavailable(int error);
// A cancel watch is polled because inotify failed (a limit reached); once per process.
void cancelWatchPolling(int error);

}  // namespace printxpc::log
