#include "files/inotify_tree.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "common/log.h"
#include "files/path_parts.h"

namespace printxpc::files {

namespace {

// A directory on the way that keeps appearing and going while it is looked for is given up on
// (watched through its parent) after this many rounds.
constexpr int kAttachRounds = 8;

// Every way in which a directory entry can come to hold data, be replaced by one that does, or
// come into being on the way to the file; and the directory itself going away.
constexpr std::uint32_t kDirectoryEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO |
                                           IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;
// Growth of the file itself, through whichever of its names. Added to what the inode may
// already be watched for, so that it never narrows a directory's watch.
constexpr std::uint32_t kFileEvents =
    IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DONT_FOLLOW | IN_MASK_ADD;

std::string childPath(const std::string& directory, const std::string& child) {
  std::string path = directory;
  path += '/';
  path += child;
  return path;
}

bool hasParent(const std::string& directory) { return directory != "/" && directory != "."; }

bool nameable(const std::string& name) { return !name.empty() && name != "." && name != ".."; }

bool sameDirectory(const std::string& directory, dev_t device, ino_t inode) {
  struct stat info {};
  return ::stat(directory.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

}  // namespace

std::string normalizedPath(std::string_view path) {
  std::string out = !path.empty() && path.front() == '/' ? "/" : "";
  std::size_t at = 0;
  while (at <= path.size()) {
    const std::size_t slash = std::min(path.find('/', at), path.size());
    const std::string_view part = path.substr(at, slash - at);
    at = slash + 1;
    if (part.empty() || (part == "." && at <= path.size())) {
      continue;
    }
    if (!out.empty() && out.back() != '/') {
      out += '/';
    }
    out += part;
  }
  return out.empty() ? std::string(".") : out;
}

std::string fileKey(const std::string& path) {
  std::string directory = directoryOf(path);
  std::string rest = "/" + nameOf(path);
  for (;;) {
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(directory.c_str(), nullptr),
                                                           &std::free);
    if (real) {
      const std::string_view prefix(real.get());
      return std::string(prefix == "/" ? "" : prefix) + rest;
    }
    if ((errno != ENOENT && errno != ENOTDIR) || !hasParent(directory)) {
      return path;
    }
    rest.insert(0, "/" + nameOf(directory));
    directory = directoryOf(directory);
  }
}

InotifyTree::InotifyTree() : inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (!inotify_) {
    log::cancelWatchPolling(errno);
  }
}

void InotifyTree::attach(FileId id, std::string_view path) {
  File& file = files_[id];
  file.path = normalizedPath(path);
  watch(id, file);
}

void InotifyTree::detach(FileId id) {
  const auto found = files_.find(id);
  if (found == files_.end()) {
    return;
  }
  unwatch(id, found->second);
  files_.erase(found);
}

void InotifyTree::respell(FileId id, std::string_view path) {
  if (const auto found = files_.find(id); found != files_.end()) {
    found->second.path = normalizedPath(path);
  }
}

const std::string& InotifyTree::pathOf(FileId id) const {
  static const std::string kNone;
  const auto found = files_.find(id);
  return found == files_.end() ? kNone : found->second.path;
}

// Watches the file's directory, or the nearest existing ancestor of a missing one, and the
// file itself; polls the file when inotify cannot be used.
void InotifyTree::watch(FileId id, File& file) {
  const std::string parent = directoryOf(file.path);
  std::string directory = parent;
  std::string child = nameOf(file.path);
  int rounds = 0;
  while (inotify_ && nameable(child)) {
    const int wd = ::inotify_add_watch(inotify_.get(), directory.c_str(), kDirectoryEvents);
    struct stat appeared {};
    if (wd >= 0 && directory != parent && rounds < kAttachRounds &&
        ::stat(childPath(directory, child).c_str(), &appeared) == 0) {
      // The missing part appeared before its creation could be seen: walk again.
      releaseIfUnused(nodes_.try_emplace(wd).first);
      ++rounds;
      directory = parent;
      child = nameOf(file.path);
      continue;
    }
    if (wd >= 0) {
      auto [node, inserted] = nodes_.try_emplace(wd);
      struct stat info {};
      if (inserted && ::stat(directory.c_str(), &info) == 0) {
        node->second.device = info.st_dev;
        node->second.inode = info.st_ino;
        node->second.path = directory;
      }
      node->second.byName.emplace(child, id);
      file.directoryWd = wd;
      file.childName = std::move(child);
      file.inParent = directory == parent;
      if (file.inParent) {
        refreshFileWatch(id, file);
      }
      return;
    }
    const int error = errno;
    if (error == ENOSPC || error == ENOMEM) {
      log::cancelWatchPolling(error);  // a limit, not a missing directory
    }
    if ((error != ENOENT && error != ENOTDIR) || !hasParent(directory)) {
      break;
    }
    child = nameOf(directory);
    directory = directoryOf(directory);
  }
  polled_.insert(id);
}

void InotifyTree::unwatch(FileId id, File& file) {
  polled_.erase(id);
  if (const auto node = nodes_.find(file.directoryWd); node != nodes_.end()) {
    auto [first, last] = node->second.byName.equal_range(file.childName);
    for (auto user = first; user != last; ++user) {
      if (user->second == id) {
        node->second.byName.erase(user);
        break;
      }
    }
    releaseIfUnused(node);
  }
  file.directoryWd = -1;
  dropFileWatch(id, file);
}

void InotifyTree::rewatch(FileId id, File& file) {
  unwatch(id, file);
  watch(id, file);
}

void InotifyTree::releaseIfUnused(NodeIt node) {
  if (node->second.byName.empty() && node->second.users.empty()) {
    ::inotify_rm_watch(inotify_.get(), node->first);
    nodes_.erase(node);
  }
}

void InotifyTree::refreshFile(FileId id) {
  if (const auto found = files_.find(id); found != files_.end() && found->second.inParent) {
    refreshFileWatch(id, found->second);
  }
}

// Watches the file itself while it is a regular file, so that growth through another of its
// names (a hard link elsewhere) is seen too.
void InotifyTree::refreshFileWatch(FileId id, File& file) {
  struct stat info {};
  const bool regular = ::lstat(file.path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  if (const auto node = nodes_.find(file.fileWd); node != nodes_.end()) {
    if (regular && node->second.device == info.st_dev && node->second.inode == info.st_ino) {
      return;
    }
    dropFileWatch(id, file);
  }
  if (!regular) {
    return;
  }
  const int wd = ::inotify_add_watch(inotify_.get(), file.path.c_str(), kFileEvents);
  if (wd < 0) {
    return;
  }
  auto [node, inserted] = nodes_.try_emplace(wd);
  if (inserted) {
    node->second.directory = false;
    node->second.device = info.st_dev;
    node->second.inode = info.st_ino;
  }
  if (node->second.directory) {
    return;  // replaced by a directory meanwhile: watched as one already
  }
  node->second.users.insert(id);
  file.fileWd = wd;
}

void InotifyTree::dropFileWatch(FileId id, File& file) {
  if (const auto node = nodes_.find(file.fileWd); node != nodes_.end()) {
    node->second.users.erase(id);
    releaseIfUnused(node);
  }
  file.fileWd = -1;
}

// A directory's watch went away (removed, moved, or no longer at its path): its files look
// for their directory again, and are checked at once.
void InotifyTree::dropDirectory(NodeIt node, bool removeWatch, std::vector<FileId>& changed) {
  std::vector<FileId> users;
  for (const auto& [name, id] : node->second.byName) {
    users.push_back(id);
  }
  const int wd = node->first;
  nodes_.erase(node);
  if (removeWatch) {
    ::inotify_rm_watch(inotify_.get(), wd);
  }
  for (const FileId id : users) {
    File& file = files_.at(id);
    file.directoryWd = -1;
    rewatch(id, file);
    changed.push_back(id);
  }
}

void InotifyTree::processEvents(std::vector<FileId>& changed) {
  alignas(inotify_event) std::array<char, std::size_t{64} * 1024> buffer{};
  while (inotify_) {
    const ssize_t length = ::read(inotify_.get(), buffer.data(), buffer.size());
    if (length <= 0) {
      return;
    }
    const auto end = static_cast<std::size_t>(length);
    for (std::size_t offset = 0; offset + sizeof(inotify_event) <= end;) {
      inotify_event event{};
      std::memcpy(&event, buffer.data() + offset, sizeof event);
      const std::size_t nameOffset = offset + sizeof(inotify_event);
      offset = nameOffset + event.len;
      if (offset > end) {
        return;
      }
      const std::string_view name(buffer.data() + nameOffset,
                                  ::strnlen(buffer.data() + nameOffset, event.len));
      handleEvent(event.mask, event.wd, name, changed);
    }
  }
}

void InotifyTree::handleEvent(std::uint32_t mask, int wd, std::string_view name,
                              std::vector<FileId>& changed) {
  if ((mask & IN_Q_OVERFLOW) != 0) {
    // Events were lost, perhaps a missing directory's creation: every file starts afresh.
    for (auto& [id, file] : files_) {
      rewatch(id, file);
      changed.push_back(id);
    }
    return;
  }
  const auto node = nodes_.find(wd);
  if (node == nodes_.end()) {
    return;
  }
  if (!node->second.directory) {
    for (const FileId id : node->second.users) {
      if ((mask & IN_IGNORED) != 0) {
        files_.at(id).fileWd = -1;  // the file is gone, and its watch with it
      } else {
        changed.push_back(id);
      }
    }
    if ((mask & IN_IGNORED) != 0) {
      nodes_.erase(node);
    }
    return;
  }
  if ((mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
    dropDirectory(node, (mask & IN_IGNORED) == 0, changed);
    return;
  }
  std::vector<FileId> waiting;
  auto [first, last] = node->second.byName.equal_range(std::string(name));
  for (auto user = first; user != last; ++user) {
    waiting.push_back(user->second);
  }
  for (const FileId id : waiting) {
    File& file = files_.at(id);
    if (!file.inParent) {
      rewatch(id, file);  // a missing directory on the way appeared: one step closer
    }
    changed.push_back(id);
  }
}

void InotifyTree::upkeep(std::vector<FileId>& changed) {
  std::vector<int> moved;
  for (const auto& [wd, node] : nodes_) {
    if (node.directory && !sameDirectory(node.path, node.device, node.inode)) {
      moved.push_back(wd);
    }
  }
  for (const int wd : moved) {
    if (const auto node = nodes_.find(wd); node != nodes_.end()) {
      dropDirectory(node, true, changed);
    }
  }
  const std::vector<FileId> polled(polled_.begin(), polled_.end());
  for (const FileId id : polled) {
    rewatch(id, files_.at(id));
    changed.push_back(id);
  }
}

}  // namespace printxpc::files
