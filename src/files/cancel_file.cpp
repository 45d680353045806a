#include "files/cancel_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/log.h"
#include "common/unique_fd.h"
#include "files/file_modes.h"

namespace printxpc {

bool ensureCancelFile(std::string_view path) {
  files::useCreationMask();
  if (!files::isSystemPath(path)) {
    return false;
  }
  const std::string cPath(path);
  const UniqueFd fd(
      ::open(cPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, files::kCreatedFileMode));
  return fd.valid();
}

bool cancelFileWrite(std::string_view path) {
  files::useCreationMask();
  if (!files::isSystemPath(path)) {
    return false;
  }
  const std::string cPath(path);
  // Never created here: a missing file means that no GET waits on it (any more).
  const UniqueFd fd(::open(cPath.c_str(), O_RDWR | O_APPEND | O_CLOEXEC, files::kCreatedFileMode));
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
  const std::string requestText(request);
  const std::string pathText = path ? std::string(*path) : std::string("(null)");
  ::syslog(LOG_ERR, "helper - cancelFileWrite - argString = %s\n", requestText.c_str());
  ::syslog(LOG_ERR, "helper - cancelFileWrite - argcStr = %s\n", pathText.c_str());
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr auto kUpkeepInterval = std::chrono::seconds(1);

// Every way in which a directory entry can come to hold data, or be replaced by one that does.
constexpr std::uint32_t kDirectoryEvents =
    IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_MOVE_SELF | IN_ONLYDIR;

// The item at the path itself (a symbolic link by its own size) counts; its size is taken as
// a 32-bit value.
bool holdsCancel(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && static_cast<std::int32_t>(info.st_size) != 0;
}

struct Location {
  std::string directory;
  std::string name;  // empty when events in the directory cannot name the entry
};

Location locate(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  Location location;
  if (slash == std::string::npos) {
    location = {".", path};
  } else {
    location = {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
  }
  if (location.name == "." || location.name == "..") {
    location.name.clear();
  }
  return location;
}

bool sameDirectory(const std::string& directory, dev_t device, ino_t inode) {
  struct stat info {};
  return ::stat(directory.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

}  // namespace

// The watches, their inotify registrations and the fallback poll list. All members are
// guarded by mutex_ except the descriptors, which are set once in the constructor.
class CancelWatcher::Registry {
 public:
  explicit Registry(std::function<void()> onCancel)
      : onCancel_(std::move(onCancel)),
        inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
        wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!inotify_) {
      log::cancelWatchPolling(errno);
    }
  }

  void add(std::string path) {
    {
      const std::lock_guard lock(mutex_);
      auto [entry, inserted] = paths_.try_emplace(path);
      if (inserted) {
        Location location = locate(path);
        entry->second.directory = std::move(location.directory);
        entry->second.name = std::move(location.name);
        attach(path, entry->second);
      }
      ++entry->second.count;
      active_.fetch_add(1, std::memory_order_relaxed);
      // The first check runs after the directory watch exists, so no write slips between.
      pending_.push_back(std::move(path));
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

  void run() {
    auto nextPoll = Clock::now() + kPollInterval;
    auto nextUpkeep = Clock::now() + kUpkeepInterval;
    std::vector<std::string> candidates;
    for (;;) {
      std::array<pollfd, 2> fds{pollfd{inotify_.get(), POLLIN, 0}, pollfd{wake_.get(), POLLIN, 0}};
      ::poll(fds.data(), fds.size(), timeoutMs(nextPoll, nextUpkeep));
      if ((fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        (void)::read(wake_.get(), &count, sizeof count);
      }
      candidates.clear();
      {
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
      }
      check(candidates);
    }
  }

 private:
  struct PathWatch {
    std::size_t count = 0;
    std::string directory;
    std::string name;
    int wd = -1;  // -1: polled
  };
  struct DirectoryWatch {
    dev_t device = 0;
    ino_t inode = 0;
    std::unordered_map<std::string, std::unordered_set<std::string>> pathsByName;
  };

  void wake() {
    const std::uint64_t one = 1;
    (void)::write(wake_.get(), &one, sizeof one);
  }

  int timeoutMs(Clock::time_point nextPoll, Clock::time_point nextUpkeep) {
    bool idle = false;
    bool polling = false;
    {
      const std::lock_guard lock(mutex_);
      idle = paths_.empty() && pending_.empty() && !stopping_;
      polling = !polled_.empty();
    }
    // Without a wake-up descriptor new watches and the stop are noticed on the poll beat.
    if (!wake_) {
      polling = true;
    } else if (idle) {
      return -1;
    }
    const auto deadline = polling ? std::min(nextPoll, nextUpkeep) : nextUpkeep;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
  }

  // Watches the path's directory, or polls the path when that cannot be done.
  void attach(const std::string& path, PathWatch& watch) {
    watch.wd = -1;
    if (inotify_ && !watch.name.empty()) {
      const int wd = ::inotify_add_watch(inotify_.get(), watch.directory.c_str(), kDirectoryEvents);
      if (wd < 0 && (errno == ENOSPC || errno == ENOMEM)) {
        log::cancelWatchPolling(errno);  // a limit, not a missing directory
      }
      struct stat info {};
      if (wd >= 0 && ::stat(watch.directory.c_str(), &info) == 0) {
        auto [directory, inserted] = directories_.try_emplace(wd);
        if (inserted) {
          directory->second.device = info.st_dev;
          directory->second.inode = info.st_ino;
        }
        directory->second.pathsByName[watch.name].insert(path);
        watch.wd = wd;
        return;
      }
      if (wd >= 0 && directories_.find(wd) == directories_.end()) {
        ::inotify_rm_watch(inotify_.get(), wd);
      }
    }
    polled_.insert(path);
  }

  void detach(const std::string& path, PathWatch& watch) {
    if (watch.wd < 0) {
      polled_.erase(path);
      return;
    }
    const auto directory = directories_.find(watch.wd);
    watch.wd = -1;
    if (directory == directories_.end()) {
      return;
    }
    auto& names = directory->second.pathsByName;
    if (const auto name = names.find(watch.name); name != names.end()) {
      name->second.erase(path);
      if (name->second.empty()) {
        names.erase(name);
      }
    }
    if (names.empty()) {
      ::inotify_rm_watch(inotify_.get(), directory->first);
      directories_.erase(directory);
    }
  }

  // The directory watch went away (the directory was removed or moved): its paths look for
  // their directory again, and are checked at once.
  void dropDirectory(int wd, std::vector<std::string>& candidates) {
    const auto directory = directories_.find(wd);
    if (directory == directories_.end()) {
      return;
    }
    std::vector<std::string> orphans;
    for (const auto& [name, paths] : directory->second.pathsByName) {
      orphans.insert(orphans.end(), paths.begin(), paths.end());
    }
    ::inotify_rm_watch(inotify_.get(), wd);
    directories_.erase(directory);
    for (const auto& path : orphans) {
      attach(path, paths_.at(path));
      candidates.push_back(path);
    }
  }

  void readEvents(std::vector<std::string>& candidates) {
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
                   std::vector<std::string>& candidates) {
    if ((event.mask & IN_Q_OVERFLOW) != 0) {
      for (const auto& [path, watch] : paths_) {
        candidates.push_back(path);
      }
      return;
    }
    if ((event.mask & (IN_IGNORED | IN_MOVE_SELF)) != 0) {
      dropDirectory(event.wd, candidates);
      return;
    }
    const auto directory = directories_.find(event.wd);
    if (name.empty() || directory == directories_.end()) {
      return;
    }
    const auto paths = directory->second.pathsByName.find(std::string(name));
    if (paths != directory->second.pathsByName.end()) {
      candidates.insert(candidates.end(), paths->second.begin(), paths->second.end());
    }
  }

  // Once a second: paths whose directory now is another one (an ancestor was moved, or
  // something was mounted over it) and polled paths look for their directory again.
  void upkeep(std::vector<std::string>& candidates) {
    std::unordered_map<std::string, bool> unchanged;
    std::vector<std::string> moved(polled_.begin(), polled_.end());
    for (const auto& [path, watch] : paths_) {
      if (watch.wd < 0) {
        continue;
      }
      auto [known, inserted] = unchanged.try_emplace(watch.directory);
      if (inserted) {
        const auto& directory = directories_.at(watch.wd);
        known->second = sameDirectory(watch.directory, directory.device, directory.inode);
      }
      if (!known->second) {
        moved.push_back(path);
      }
    }
    for (const auto& path : moved) {
      auto& watch = paths_.at(path);
      detach(path, watch);
      attach(path, watch);
      candidates.push_back(path);
    }
  }

  // Removes the path's watches; their number (0 when they have fired already).
  std::size_t take(const std::string& path) {
    const auto entry = paths_.find(path);
    if (entry == paths_.end()) {
      return 0;
    }
    const std::size_t count = entry->second.count;
    detach(path, entry->second);
    paths_.erase(entry);
    active_.fetch_sub(count, std::memory_order_relaxed);
    return count;
  }

  // Fires the watches of every candidate that holds a cancellation: first the flag, then
  // the file goes.
  void check(std::vector<std::string>& candidates) {
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    for (const auto& path : candidates) {
      if (!holdsCancel(path)) {
        continue;
      }
      std::size_t fired = 0;
      {
        const std::lock_guard lock(mutex_);
        fired = take(path);
      }
      if (fired == 0) {
        continue;
      }
      onCancel_();
      ::unlink(path.c_str());
    }
  }

  const std::function<void()> onCancel_;
  const UniqueFd inotify_;
  const UniqueFd wake_;
  std::atomic<std::size_t> active_{0};

  std::mutex mutex_;
  bool stopping_ = false;
  std::unordered_map<std::string, PathWatch> paths_;
  std::unordered_map<int, DirectoryWatch> directories_;
  std::unordered_set<std::string> polled_;
  std::vector<std::string> pending_;
};

CancelWatcher::CancelWatcher(std::function<void()> onCancel)
    : registry_(std::make_unique<Registry>(std::move(onCancel))) {}

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
  if (!files::isSystemPath(path) || !ensureThread()) {
    return false;
  }
  registry_->add(std::move(path));
  return true;
}

std::size_t CancelWatcher::activeWatches() const { return registry_->active(); }

}  // namespace printxpc
