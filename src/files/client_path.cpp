#include "files/client_path.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string_view>
#include <utility>

#include "files/file_modes.h"
#include "files/path_parts.h"

namespace printxpc::files {
namespace {

// Cleared once the kernel says that it has no openat2 (or by a test).
std::atomic<bool> gOpenat2{true};

bool isProcFileSystem(const struct statfs& fileSystem) {
  return fileSystem.f_type == static_cast<decltype(fileSystem.f_type)>(PROC_SUPER_MAGIC);
}

// The walk that stands in for RESOLVE_NO_MAGICLINKS: the path resolved part by part as the
// kernel resolves it, each symbolic link read and followed; true when one of them lies in a
// proc file system (or cannot be followed: the open would fail anyway). A part that does not
// exist ends the walk, since nothing beyond it can be a link.
bool resolvesThroughProc(const std::string& path) {
  std::string reached = !path.empty() && path.front() == '/' ? "" : ".";  // holds no link
  std::string rest = path;
  int links = 0;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string part = rest.substr(0, slash);
    rest = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
    if (part.empty() || part == ".") {
      continue;
    }
    std::string next = reached;
    next += '/';
    next += part;
    struct stat info {};
    if (::lstat(next.c_str(), &info) != 0) {
      return false;
    }
    if (!S_ISLNK(info.st_mode)) {
      reached = std::move(next);
      continue;
    }
    struct statfs fileSystem {};
    auto target = linkTarget(AT_FDCWD, next);
    if (::statfs(reached.empty() ? "/" : reached.c_str(), &fileSystem) != 0 ||
        isProcFileSystem(fileSystem) || !target || target->empty() || ++links > kMaxLinkHops) {
      return true;
    }
    if (target->front() == '/') {
      reached.clear();
    }
    if (!rest.empty()) {
      *target += '/';
      *target += rest;
    }
    rest = std::move(*target);
  }
  return false;
}

// The path of the name that the descriptor was opened through, as the kernel keeps it; nothing
// when the name is gone or /proc cannot tell.
std::optional<std::string> openedName(int fd) {
  auto name = linkTarget(AT_FDCWD, "/proc/self/fd/" + std::to_string(fd));
  constexpr std::string_view kDeleted = " (deleted)";
  if (!name || name->empty() || name->front() != '/' ||
      (name->size() >= kDeleted.size() &&
       name->compare(name->size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)) {
    return std::nullopt;
  }
  return name;
}

}  // namespace

std::optional<std::string> linkTarget(int directory, const std::string& name) {
  std::array<char, 4096> buffer{};
  const ssize_t length = ::readlinkat(directory, name.c_str(), buffer.data(), buffer.size());
  if (length < 0 || static_cast<std::size_t>(length) >= buffer.size()) {
    return std::nullopt;
  }
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

UniqueFd openClientPath(const std::string& path, int flags, mode_t mode) {
  // O_PATH takes no other flags than these (openat2 refuses any other).
  flags |= (flags & O_PATH) != 0 ? O_CLOEXEC : kClientPathFlags;
  if (gOpenat2.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<unsigned int>(flags);  // a bit set, never negative
    how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
    how.resolve = RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) {
      return UniqueFd(static_cast<int>(fd));
    }
    gOpenat2.store(false, std::memory_order_relaxed);
  }
  if (resolvesThroughProc(path)) {
    errno = ELOOP;
    return {};
  }
  return UniqueFd(::open(path.c_str(), flags, mode));
}

bool isProcDirectory(int directory) {
  struct statfs fileSystem {};
  return ::fstatfs(directory, &fileSystem) != 0 || isProcFileSystem(fileSystem);
}

bool isSharedDirectory(const struct stat& directory) {
  return (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
}

bool isSharedHardLink(const struct stat& directory, const struct stat& file) {
  return S_ISREG(file.st_mode) && file.st_nlink > 1 && isSharedDirectory(directory);
}

bool isSharedHardLink(int fd, const std::string& path) {
  struct stat file {};
  if (::fstat(fd, &file) != 0) {
    return true;
  }
  if (!S_ISREG(file.st_mode) || file.st_nlink <= 1) {
    return false;
  }
  const std::string name = openedName(fd).value_or(path);
  struct stat directory {};
  // A directory that cannot be examined might be a shared one.
  return ::stat(directoryOf(name).c_str(), &directory) != 0 || isSharedHardLink(directory, file);
}

namespace client_path_testing {

void useOpenat2(bool use) { gOpenat2.store(use, std::memory_order_relaxed); }

}  // namespace client_path_testing

}  // namespace printxpc::files
