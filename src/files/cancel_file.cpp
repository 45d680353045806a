#include "files/cancel_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/event_fd.h"
#include "common/log.h"
#include "common/unique_fd.h"
#include "files/client_path.h"
#include "files/file_modes.h"
#include "files/path_parts.h"
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

namespace {

using Clock = std::chrono::steady_clock;
using files::directoryOf;
using files::nameOf;
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr auto kUpkeepInterval = std::chrono::seconds(1);
constexpr std::size_t kDefaultMaxFiles = 1024;
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

// The item at the path itself (a symbolic link by its own size) counts; its size is taken as
// a 32-bit value.
bool holdsCancel(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && static_cast<std::int32_t>(info.st_size) != 0;
}

// The path without empty and "." components (a last "." stays), which the kernel resolves to
// the same item: "a//b" and "a/./b" are "a/b".
std::string normalized(std::string_view path) {
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

std::string childPath(const std::string& directory, const std::string& child) {
  std::string path = directory;
  path += '/';
  path += child;
  return path;
}

bool hasParent(const std::string& directory) { return directory != "/" && directory != "."; }

bool nameable(const std::string& name) { return !name.empty() && name != "." && name != ".."; }

// One key for every spelling of a file: the real path of its nearest existing directory
// (links resolved), then the rest of the path. Used only to tell files apart: the file itself
// is always reached through the path as the client spelled it, by the kernel.
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

bool sameDirectory(const std::string& directory, dev_t device, ino_t inode) {
  struct stat info {};
  return ::stat(directory.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

std::size_t defaultMaxFiles() {
  // Plain calls rather than a stream: this also runs when descriptors are short, and a stream
  // that failed to open is no place to read a number from.
  const UniqueFd limits(::open("/proc/sys/fs/inotify/max_user_watches", O_RDONLY | O_CLOEXEC));
  std::array<char, 32> text{};
  const ssize_t got = limits ? ::read(limits.get(), text.data(), text.size()) : -1;
  long long limit = 0;
  if (got <= 0 || std::from_chars(text.data(), text.data() + got, limit).ec != std::errc() ||
      limit <= 0) {
    return kDefaultMaxFiles;
  }
  return std::clamp<std::size_t>(static_cast<std::size_t>(limit) / 8, 16, kDefaultMaxFiles);
}

}  // namespace

// The watched files, their inotify watches and the fallback poll list. All members are guarded
// by mutex_ except the descriptors, set once in the constructor, and the two counts.
//
// A file is watched through its directory (for a missing directory: the nearest existing
// ancestor, until the missing part appears) and, while it exists, through itself. inotify
// gives one watch per inode, so directories and files shared by several watched files cost
// one watch, released with the last file that needs it.
class CancelWatcher::Registry {
 public:
  Registry(std::function<void()> onCancel, std::size_t maxFiles)
      : onCancel_(std::move(onCancel)),
        maxFiles_(std::max<std::size_t>(maxFiles == 0 ? defaultMaxFiles() : maxFiles, 1)),
        inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (!inotify_) {
      log::cancelWatchPolling(errno);
    }
  }

  void add(std::string path) {
    {
      const std::lock_guard lock(mutex_);
      path = normalized(path);
      // The file is there again for the GET that asks for this watch, also when a watch that
      // fired removed it since the GET opened it: its cancel write must find it.
      files::useCreationMask();
      (void)openCancelFile(path, O_CREAT);
      std::string key = fileKey(path);
      std::uint64_t id = 0;
      if (const auto known = byKey_.find(key); known != byKey_.end()) {
        id = known->second;
        Entry& entry = entries_.at(id);
        ages_.splice(ages_.end(), ages_, entry.age);
        // Another spelling of the same file: its watches stay; a later change of what the old
        // spelling's directory path leads to is caught by the upkeep.
        entry.path = std::move(path);
      } else {
        id = nextId_++;
        Entry& entry = entries_[id];
        entry.key = std::move(key);
        entry.path = std::move(path);
        byKey_.emplace(entry.key, id);
        entry.age = ages_.insert(ages_.end(), id);
        attach(id, entry);
        files_.fetch_add(1, std::memory_order_relaxed);
      }
      ++entries_.at(id).count;
      active_.fetch_add(1, std::memory_order_relaxed);
      // The first check runs after the watches exist, so no write slips between.
      pending_.push_back(id);
      while (entries_.size() > maxFiles_) {
        take(ages_.front());
      }
    }
    wake();
  }

  void stop() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake();
  }

  std::size_t active() const { return active_.load(std::memory_order_relaxed); }
  std::size_t files() const { return files_.load(std::memory_order_relaxed); }

  void run() {
    auto nextPoll = Clock::now() + kPollInterval;
    auto nextUpkeep = Clock::now() + kUpkeepInterval;
    std::vector<std::uint64_t> candidates;
    for (;;) {
      std::array<pollfd, 2> fds{pollfd{inotify_.get(), POLLIN, 0}, pollfd{wake_.fd(), POLLIN, 0}};
      ::poll(fds.data(), fds.size(), timeoutMs(nextPoll, nextUpkeep));
      if ((fds[1].revents & POLLIN) != 0) {
        wake_.drain();
      }
      candidates.clear();
      const std::lock_guard lock(mutex_);
      if (stopping_) {
        return;
      }
      candidates.swap(pending_);
      if ((fds[0].revents & POLLIN) != 0) {
        readEvents(candidates);
      }
      const auto now = Clock::now();
      if (now >= nextPoll) {
        candidates.insert(candidates.end(), polled_.begin(), polled_.end());
        nextPoll += kPollInterval;
        if (nextPoll <= now) {
          nextPoll = now + kPollInterval;
        }
      }
      if (now >= nextUpkeep) {
        upkeep(candidates);
        nextUpkeep = now + kUpkeepInterval;
      }
      check(candidates);
    }
  }

 private:
  struct Entry {
    std::string key;
    std::string path;  // as last armed, normalized: every file-system call goes through it
    std::size_t count = 0;
    std::list<std::uint64_t>::iterator age;  // place in the order of arming
    int directoryWd = -1;   // the file's directory, or its nearest existing ancestor
    std::string childName;  // the name in that directory on the way to the file
    bool inParent = false;  // directoryWd is the file's own directory
    int fileWd = -1;
    bool polled = false;
  };
  struct Node {
    bool directory = true;
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;  // a directory's path when watched, for the upkeep's check
    std::unordered_multimap<std::string, std::uint64_t> byName;  // directory: names waited on
    std::unordered_set<std::uint64_t> users;                     // file: its entries
  };

  void wake() { wake_.notify(); }

  int timeoutMs(Clock::time_point nextPoll, Clock::time_point nextUpkeep) {
    bool idle = false;
    bool polling = false;
    {
      const std::lock_guard lock(mutex_);
      idle = entries_.empty() && pending_.empty() && !stopping_;
      polling = !polled_.empty();
    }
    // Without a wake-up descriptor new watches and the stop are noticed on the poll beat.
    if (!wake_.valid()) {
      polling = true;
    } else if (idle) {
      return -1;
    }
    const auto deadline = polling ? std::min(nextPoll, nextUpkeep) : nextUpkeep;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
  }

  // Watches the file's directory, or the nearest existing ancestor of a missing one, and the
  // file itself; polls the file when inotify cannot be used.
  void attach(std::uint64_t id, Entry& entry) {
    const std::string parent = directoryOf(entry.path);
    std::string directory = parent;
    std::string child = nameOf(entry.path);
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
        child = nameOf(entry.path);
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
        entry.directoryWd = wd;
        entry.childName = std::move(child);
        entry.inParent = directory == parent;
        if (entry.inParent) {
          refreshFileWatch(id, entry);
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
    entry.polled = true;
    polled_.insert(id);
  }

  void detach(std::uint64_t id, Entry& entry) {
    if (entry.polled) {
      polled_.erase(id);
      entry.polled = false;
    }
    if (const auto node = nodes_.find(entry.directoryWd); node != nodes_.end()) {
      auto [first, last] = node->second.byName.equal_range(entry.childName);
      for (auto user = first; user != last; ++user) {
        if (user->second == id) {
          node->second.byName.erase(user);
          break;
        }
      }
      releaseIfUnused(node);
    }
    entry.directoryWd = -1;
    dropFileWatch(id, entry);
  }

  void reattach(std::uint64_t id, Entry& entry) {
    detach(id, entry);
    attach(id, entry);
  }

  void releaseIfUnused(std::unordered_map<int, Node>::iterator node) {
    if (node->second.byName.empty() && node->second.users.empty()) {
      ::inotify_rm_watch(inotify_.get(), node->first);
      nodes_.erase(node);
    }
  }

  // Watches the file itself while it is a regular file, so that growth through another of its
  // names (a hard link elsewhere) is seen too.
  void refreshFileWatch(std::uint64_t id, Entry& entry) {
    struct stat info {};
    const bool regular = ::lstat(entry.path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    if (const auto node = nodes_.find(entry.fileWd); node != nodes_.end()) {
      if (regular && node->second.device == info.st_dev && node->second.inode == info.st_ino) {
        return;
      }
      dropFileWatch(id, entry);
    }
    if (!regular) {
      return;
    }
    const int wd = ::inotify_add_watch(inotify_.get(), entry.path.c_str(), kFileEvents);
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
    entry.fileWd = wd;
  }

  void dropFileWatch(std::uint64_t id, Entry& entry) {
    if (const auto node = nodes_.find(entry.fileWd); node != nodes_.end()) {
      node->second.users.erase(id);
      releaseIfUnused(node);
    }
    entry.fileWd = -1;
  }

  // A directory's watch went away (removed, moved, or no longer at its path): its files look
  // for their directory again, and are checked at once.
  void dropDirectory(std::unordered_map<int, Node>::iterator node, bool removeWatch,
                     std::vector<std::uint64_t>& candidates) {
    std::vector<std::uint64_t> users;
    for (const auto& [name, id] : node->second.byName) {
      users.push_back(id);
    }
    const int wd = node->first;
    nodes_.erase(node);
    if (removeWatch) {
      ::inotify_rm_watch(inotify_.get(), wd);
    }
    for (const std::uint64_t id : users) {
      Entry& entry = entries_.at(id);
      entry.directoryWd = -1;
      reattach(id, entry);
      candidates.push_back(id);
    }
  }

  void readEvents(std::vector<std::uint64_t>& candidates) {
    alignas(inotify_event) std::array<char, std::size_t{64} * 1024> buffer{};
    for (;;) {
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
        handleEvent(event, name, candidates);
      }
    }
  }

  void handleEvent(const inotify_event& event, std::string_view name,
                   std::vector<std::uint64_t>& candidates) {
    if ((event.mask & IN_Q_OVERFLOW) != 0) {
      // Events were lost, perhaps a missing directory's creation: every file starts afresh.
      for (auto& [id, entry] : entries_) {
        reattach(id, entry);
        candidates.push_back(id);
      }
      return;
    }
    const auto node = nodes_.find(event.wd);
    if (node == nodes_.end()) {
      return;
    }
    if (!node->second.directory) {
      for (const std::uint64_t id : node->second.users) {
        if ((event.mask & IN_IGNORED) != 0) {
          entries_.at(id).fileWd = -1;  // the file is gone, and its watch with it
        } else {
          candidates.push_back(id);
        }
      }
      if ((event.mask & IN_IGNORED) != 0) {
        nodes_.erase(node);
      }
      return;
    }
    if ((event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
      dropDirectory(node, (event.mask & IN_IGNORED) == 0, candidates);
      return;
    }
    std::vector<std::uint64_t> waiting;
    auto [first, last] = node->second.byName.equal_range(std::string(name));
    for (auto user = first; user != last; ++user) {
      waiting.push_back(user->second);
    }
    for (const std::uint64_t id : waiting) {
      Entry& entry = entries_.at(id);
      if (!entry.inParent) {
        reattach(id, entry);  // a missing directory on the way appeared: one step closer
      }
      candidates.push_back(id);
    }
  }

  // Once a second: directories no longer at their path (an ancestor was moved, or something
  // mounted over it) and polled files look for their directory again.
  void upkeep(std::vector<std::uint64_t>& candidates) {
    std::vector<int> moved;
    for (const auto& [wd, node] : nodes_) {
      if (node.directory && !sameDirectory(node.path, node.device, node.inode)) {
        moved.push_back(wd);
      }
    }
    for (const int wd : moved) {
      if (const auto node = nodes_.find(wd); node != nodes_.end()) {
        dropDirectory(node, true, candidates);
      }
    }
    const std::vector<std::uint64_t> polled(polled_.begin(), polled_.end());
    for (const std::uint64_t id : polled) {
      reattach(id, entries_.at(id));
      candidates.push_back(id);
    }
  }

  // Ends the file's watches without firing them.
  void take(std::uint64_t id) {
    const auto found = entries_.find(id);
    if (found == entries_.end()) {
      return;
    }
    Entry& entry = found->second;
    detach(id, entry);
    ages_.erase(entry.age);
    byKey_.erase(entry.key);
    active_.fetch_sub(entry.count, std::memory_order_relaxed);
    files_.fetch_sub(1, std::memory_order_relaxed);
    entries_.erase(found);
  }

  // Fires the watches of every candidate that holds a cancellation: first the flag, then the
  // file goes. Under the lock, so that no GET can arm the file between the two: one that
  // opened it just before finds it made again by its watch.
  void check(std::vector<std::uint64_t>& candidates) {
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    for (const std::uint64_t id : candidates) {
      const auto found = entries_.find(id);
      if (found == entries_.end()) {
        continue;
      }
      Entry& entry = found->second;
      if (!holdsCancel(entry.path)) {
        if (entry.inParent) {
          refreshFileWatch(id, entry);
        }
        continue;
      }
      const std::string path = entry.path;
      take(id);
      onCancel_();
      ::unlink(path.c_str());
    }
  }

  const std::function<void()> onCancel_;
  const std::size_t maxFiles_;
  const UniqueFd inotify_;
  const EventFd wake_;
  std::atomic<std::size_t> active_{0};
  std::atomic<std::size_t> files_{0};

  std::mutex mutex_;
  bool stopping_ = false;
  std::uint64_t nextId_ = 1;
  std::unordered_map<std::uint64_t, Entry> entries_;
  std::unordered_map<std::string_view, std::uint64_t> byKey_;  // views of Entry::key
  std::list<std::uint64_t> ages_;                              // least recently armed first
  std::unordered_map<int, Node> nodes_;
  std::unordered_set<std::uint64_t> polled_;
  std::vector<std::uint64_t> pending_;
};

CancelWatcher::CancelWatcher(std::function<void()> onCancel, std::size_t maxFiles)
    : registry_(std::make_unique<Registry>(std::move(onCancel), maxFiles)) {}

CancelWatcher::~CancelWatcher() {
  registry_->stop();
  if (thread_.joinable()) {
    thread_.join();
  }
}

bool CancelWatcher::ensureThread() {
  const std::lock_guard lock(threadMutex_);
  if (thread_.joinable()) {
    return true;
  }
  try {
    thread_ = std::thread([registry = registry_.get()] { registry->run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool CancelWatcher::watch(std::string path) {
  if (!files::isSystemPath(path) || path.size() >= PATH_MAX || !ensureThread()) {
    return false;
  }
  registry_->add(std::move(path));
  return true;
}

std::size_t CancelWatcher::activeWatches() const { return registry_->active(); }

std::size_t CancelWatcher::watchedFiles() const { return registry_->files(); }

}  // namespace printxpc
