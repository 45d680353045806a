#include "common/log.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

namespace printxpc::log {
namespace {

std::atomic<int> gLevel{static_cast<int>(Level::kInfo)};
std::mutex gIdentifierMutex;
std::string gIdentifier = "print-xpc-service";

std::string identifier() {
  const std::lock_guard lock(gIdentifierMutex);
  return gIdentifier;
}

// Whether standard error is the journal stream that the service manager connected: the
// device and inode in JOURNAL_STREAM are those of descriptor 2.
bool toJournal() {
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat info {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
  }();
  return journal;
}

void writeJournal(Level level, std::string_view message, std::initializer_list<Field> fields) {
  std::vector<std::string> entries;
  entries.reserve(fields.size() + 3);
  entries.push_back("MESSAGE=" + std::string(message));
  entries.push_back("PRIORITY=" + std::to_string(static_cast<int>(level)));
  entries.push_back("SYSLOG_IDENTIFIER=" + identifier());
  for (const auto& field : fields) {
    entries.push_back(std::string(field.name) + "=" + field.value);
  }
  std::vector<iovec> vector;
  vector.reserve(entries.size());
  for (auto& entry : entries) {
    vector.push_back({entry.data(), entry.size()});
  }
  (void)sd_journal_sendv(vector.data(), static_cast<int>(vector.size()));
}

void writeStderr(std::string_view message, std::initializer_list<Field> fields) {
  std::string line = identifier() + ": ";
  appendEscaped(line, message);
  const char* separator = " [";
  for (const auto& field : fields) {
    line += separator;
    line += field.name;
    line += '=';
    appendEscaped(line, field.value);
    separator = " ";
  }
  line += fields.size() > 0 ? "]\n" : "\n";
  // One write per line, so that the lines of concurrent connections do not interleave.
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
}

std::string errorText(int error) {
  char buffer[128];
  return ::strerror_r(error, buffer, sizeof buffer);
}

std::string pingGroupRange() {
  std::ifstream file("/proc/sys/net/ipv4/ping_group_range");
  std::string low;
  std::string high;
  if (!(file >> low >> high)) {
    return "unknown";
  }
  return low + " " + high;
}

}  // namespace

std::optional<Level> parseLevel(std::string_view name) {
  constexpr std::pair<std::string_view, Level> kNames[] = {{"error", Level::kError},
                                                           {"warning", Level::kWarning},
                                                           {"notice", Level::kNotice},
                                                           {"info", Level::kInfo},
                                                           {"debug", Level::kDebug}};
  for (const auto& [known, level] : kNames) {
    if (name == known) {
      return level;
    }
  }
  return std::nullopt;
}

void setLevel(Level level) { gLevel = static_cast<int>(level); }

bool enabled(Level level) { return static_cast<int>(level) <= gLevel.load(); }

void setIdentifier(std::string_view name) {
  const std::lock_guard lock(gIdentifierMutex);
  gIdentifier = name;
}

void write(Level level, std::string_view message, std::initializer_list<Field> fields) {
  if (!enabled(level)) {
    return;
  }
  if (toJournal()) {
    writeJournal(level, message, fields);
  } else {
    writeStderr(message, fields);
  }
}

void icmpUnavailable(int error) {
  static std::atomic<bool> logged{false};
  if (logged.exchange(true)) {
    return;
  }
  const std::string range = pingGroupRange();
  write(Level::kWarning,
        "cannot open an ICMP echo socket (" + errorText(error) +
            "): the kernel allows them only to groups within net.ipv4.ping_group_range, now \"" +
            range + "\", and this service runs with group " + std::to_string(::getegid()) +
            "; every echo answers FALSE. To allow every group: sysctl -w "
            "net.ipv4.ping_group_range=\"0 2147483647\"",
        {{"ERRNO", std::to_string(error)}, {"PING_GROUP_RANGE", range}});
}

void cancelWatchPolling(int error) {
  static std::atomic<bool> logged{false};
  if (logged.exchange(true)) {
    return;
  }
  std::string limit;
  if (error == ENOSPC) {
    limit = " (the limit fs.inotify.max_user_watches is reached)";
  } else if (error == EMFILE) {
    // inotify_init1 says EMFILE for either limit.
    limit =
        " (the limit fs.inotify.max_user_instances or the process's descriptor limit is "
        "reached)";
  }
  write(Level::kWarning,
        "cancel files are polled instead of watched with inotify: " + errorText(error) + limit,
        {{"ERRNO", std::to_string(error)}});
}

}  // namespace printxpc::log
