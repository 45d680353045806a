#include "files/cancel_watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <climits>
#include <list>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/event_fd.h"
#include "common/unique_fd.h"
#include "files/cancel_file.h"
#include "files/file_modes.h"
#include "files/inotify_tree.h"

namespace printxpc {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr auto kUpkeepInterval = std::chrono::seconds(1);
constexpr std::size_t kDefaultMaxFiles = 1024;

// The item at the path itself (a symbolic link by its own size) counts; its size is taken as
// a 32-bit value.
bool holdsCancel(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && static_cast<std::int32_t>(info.st_size) != 0;
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

// The watched files, the order in which the cap takes them, and the thread's loop. All members
// are guarded by mutex_ except the descriptors, set once in the constructor, and the two
// counts.
class CancelWatcher::Registry {
 public:
  Registry(std::function<void()> onCancel, std::size_t maxFiles)
      : onCancel_(std::move(onCancel)),
        maxFiles_(std::max<std::size_t>(maxFiles == 0 ? defaultMaxFiles() : maxFiles, 1)) {}

  std::uint64_t add(std::string path) {
    std::uint64_t id = 0;
    {
      const std::lock_guard lock(mutex_);
      path = files::normalizedPath(path);
      // The file is there again for the GET that asks for this watch, also when a watch that
      // fired removed it since the GET opened it: its cancel write must find it.
      (void)ensureCancelFile(path);
      std::string key = files::fileKey(path);
      if (const auto known = byKey_.find(key); known != byKey_.end()) {
        id = known->second;
        Entry& entry = entries_.at(id);
        if (entry.holds == 0) {
          free_.erase(entry.free);
        }
        tree_.respell(id, path);
      } else {
        id = nextId_++;
        Entry& entry = entries_[id];
        entry.key = std::move(key);
        byKey_.emplace(entry.key, id);
        tree_.attach(id, path);
        files_.fetch_add(1, std::memory_order_relaxed);
      }
      Entry& entry = entries_.at(id);
      ++entry.count;
      ++entry.holds;
      active_.fetch_add(1, std::memory_order_relaxed);
      // The first check runs after the watches exist, so no write slips between.
      pending_.push_back(id);
      trimToCap();
    }
    wake_.notify();
    return id;
  }

  void release(std::uint64_t id) {
    const std::lock_guard lock(mutex_);
    const auto found = entries_.find(id);
    if (found == entries_.end() || found->second.holds == 0) {
      return;  // fired meanwhile
    }
    Entry& entry = found->second;
    if (--entry.holds == 0) {
      entry.free = free_.insert(free_.end(), id);
      trimToCap();
    }
  }

  void stop() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify();
  }

  std::size_t active() const { return active_.load(std::memory_order_relaxed); }
  std::size_t files() const { return files_.load(std::memory_order_relaxed); }

  void run() {
    auto nextPoll = Clock::now() + kPollInterval;
    auto nextUpkeep = Clock::now() + kUpkeepInterval;
    std::vector<std::uint64_t> candidates;
    for (;;) {
      std::array<pollfd, 2> fds{pollfd{tree_.fd(), POLLIN, 0}, pollfd{wake_.fd(), POLLIN, 0}};
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
        tree_.processEvents(candidates);
      }
      const auto now = Clock::now();
      if (now >= nextPoll) {
        const auto& polled = tree_.polledFiles();
        candidates.insert(candidates.end(), polled.begin(), polled.end());
        nextPoll += kPollInterval;
        if (nextPoll <= now) {
          nextPoll = now + kPollInterval;
        }
      }
      if (now >= nextUpkeep) {
        tree_.upkeep(candidates);
        nextUpkeep = now + kUpkeepInterval;
      }
      check(candidates);
    }
  }

 private:
  struct Entry {
    std::string key;
    std::size_t count = 0;                    // watches
    std::size_t holds = 0;                    // of them, those whose GET still holds the file
    std::list<std::uint64_t>::iterator free;  // place among the free files, while holds is 0
  };

  int timeoutMs(Clock::time_point nextPoll, Clock::time_point nextUpkeep) {
    bool idle = false;
    bool polling = false;
    {
      const std::lock_guard lock(mutex_);
      idle = entries_.empty() && pending_.empty() && !stopping_;
      polling = !tree_.polledFiles().empty();
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

  // Held files stay, even beyond the cap.
  void trimToCap() {
    while (entries_.size() > maxFiles_ && !free_.empty()) {
      take(free_.front());
    }
  }

  // Ends the file's watches without firing them.
  void take(std::uint64_t id) {
    const auto found = entries_.find(id);
    if (found == entries_.end()) {
      return;
    }
    Entry& entry = found->second;
    tree_.detach(id);
    if (entry.holds == 0) {
      free_.erase(entry.free);
    }
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
      if (!entries_.contains(id)) {
        continue;
      }
      const std::string path = tree_.pathOf(id);
      if (!holdsCancel(path)) {
        tree_.refreshFile(id);
        continue;
      }
      take(id);
      onCancel_();
      ::unlink(path.c_str());
    }
  }

  const std::function<void()> onCancel_;
  const std::size_t maxFiles_;
  const EventFd wake_;
  std::atomic<std::size_t> active_{0};
  std::atomic<std::size_t> files_{0};

  mutable std::mutex mutex_;
  files::InotifyTree tree_;
  bool stopping_ = false;
  std::uint64_t nextId_ = 1;
  std::unordered_map<std::uint64_t, Entry> entries_;
  std::unordered_map<std::string_view, std::uint64_t> byKey_;  // views of Entry::key
  std::list<std::uint64_t> free_;  // files that no hold keeps, the longest free first
  std::vector<std::uint64_t> pending_;
};

CancelWatcher::Hold::Hold(Hold&& other) noexcept
    : registry_(std::exchange(other.registry_, nullptr)), id_(other.id_) {}

CancelWatcher::Hold& CancelWatcher::Hold::operator=(Hold&& other) noexcept {
  if (this != &other) {
    release();
    registry_ = std::exchange(other.registry_, nullptr);
    id_ = other.id_;
  }
  return *this;
}

void CancelWatcher::Hold::release() {
  if (registry_ != nullptr) {
    std::exchange(registry_, nullptr)->release(id_);
  }
}

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

CancelWatcher::Hold CancelWatcher::watch(std::string path) {
  if (!files::isSystemPath(path) || path.size() >= PATH_MAX || !ensureThread()) {
    return {};
  }
  return {*registry_, registry_->add(std::move(path))};
}

std::size_t CancelWatcher::activeWatches() const { return registry_->active(); }

std::size_t CancelWatcher::watchedFiles() const { return registry_->files(); }

}  // namespace printxpc
