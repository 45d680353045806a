#include "files/cancel_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "common/log.h"
#include "common/unique_fd.h"
#include "files/client_path.h"
#include "files/file_modes.h"
#include "protocol/text.h"

namespace printxpc {

namespace {

// Opens the cancel file at the path for reading and appending; nothing unless it is a regular
// file that may be written through that name (files::openClientPath, files::isSharedHardLink).
// Never blocks (a FIFO, a device) and never takes a terminal as controlling terminal.
UniqueFd openCancelFile(const std::string& path, int createFlags) {
  UniqueFd fd =
      files::openClientPath(path, O_RDWR | O_APPEND | createFlags, files::kCreatedFileMode);
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      files::isSharedHardLink(fd.get(), path)) {
    return {};
  }
  return fd;
}

// The most bytes of a value that one log line carries: a path of PATH_MAX bytes fits whole, and
// the line stays within what syslog daemons take (a 300 KB one is lost on the way).
constexpr std::size_t kMaxLoggedBytes = 4096;

// The value as the log on standard error writes it (control characters escaped, so that no
// value can forge a line of its own), cut with a visible mark where it would exceed the bound;
// never inside an escape or a UTF-8 character.
std::string loggedValue(std::string_view value) {
  std::string line;
  for (std::size_t at = 0; at < value.size();) {
    const std::size_t length = std::clamp<std::size_t>(
        text::sequenceLength(static_cast<unsigned char>(value[at])), 1, value.size() - at);
    const std::size_t before = line.size();
    log::appendEscaped(line, value.substr(at, length));
    if (line.size() > kMaxLoggedBytes) {
      line.resize(before);
      return line + "... [cut: " + std::to_string(value.size()) + " bytes in all]";
    }
    at += length;
  }
  return line;
}

}  // namespace

bool ensureCancelFile(std::string_view path) {
  files::useCreationMask();
  if (!files::isSystemPath(path)) {
    return false;
  }
  return openCancelFile(std::string(path), O_CREAT).valid();
}

bool cancelFileWrite(std::string_view path) {
  files::useCreationMask();
  if (!files::isSystemPath(path)) {
    return false;
  }
  // Never created here: a missing file means that no GET waits on it (any more).
  const UniqueFd fd = openCancelFile(std::string(path), 0);
  if (!fd) {
    return false;
  }
  constexpr char kCancelByte = 0x01;
  ssize_t written = ::write(fd.get(), &kCancelByte, 1);
  if (written < 0) {
    written = ::write(fd.get(), &kCancelByte, 1);
  }
  return written == 1;
}

void logCancelWrite(std::string_view request, std::optional<std::string_view> path) {
  const std::string requestText = loggedValue(request);
  const std::string pathText = path ? loggedValue(*path) : std::string("(null)");
  ::syslog(LOG_ERR, "helper - cancelFileWrite - argString = %s\n", requestText.c_str());
  ::syslog(LOG_ERR, "helper - cancelFileWrite - argcStr = %s\n", pathText.c_str());
}

}  // namespace printxpc
