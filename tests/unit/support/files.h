// Small file-system helpers for the tests of the file operations and the cancel file.
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "shared/wait.h"

namespace printxpc::test_support {

inline std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Creates or replaces the file with exactly these bytes and permission bits.
inline void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  ::chmod(path.c_str(), mode);
}

inline bool exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

inline mode_t permissions(const std::string& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

// The names in a directory, sorted.
inline std::vector<std::string> entries(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Runs the check in a forked child and returns its exit status (-1 if it did not exit).
inline int runInChild(const std::function<int()>& check) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::_exit(check());
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

inline constexpr uid_t kNobody = 65534;
inline constexpr int kCannotDropPrivileges = 77;

// The check's result as seen by a user without privileges: as root, in a child that became
// nobody; otherwise in a child of the current user. Absent when privileges cannot be dropped.
inline std::optional<bool> asUnprivileged(const std::function<bool()>& check) {
  const int status = runInChild([&] {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      return kCannotDropPrivileges;
    }
    return check() ? 1 : 0;
  });
  if (status != 0 && status != 1) {
    return std::nullopt;
  }
  return status == 1;
}

// A uid that no account uses: a second, unprivileged local user for the tests that plant
// files as someone else.
inline constexpr uid_t kOtherUser = 64123;

// Runs the action in a child that has become the user (uid and gid, no supplementary
// groups); its exit status, or -1. Needs root; kCannotDropPrivileges when not root.
inline int runAsUser(uid_t uid, const std::function<int()>& action) {
  return runInChild([&] {
    if (::geteuid() != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 ||
        ::setuid(uid) != 0) {
      return kCannotDropPrivileges;
    }
    return action();
  });
}

// The inodes that this process's inotify watches are on (all on the tests' file system).
inline std::vector<ino_t> inotifyWatchedInodes() {
  std::vector<ino_t> inodes;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(fd.path(), error).string() != "anon_inode:inotify") {
      continue;
    }
    std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
    // "inotify wd:1 ino:4c6f sdev:... mask:...", the inode in hexadecimal.
    for (std::string line; std::getline(info, line);) {
      const auto at = line.find(" ino:");
      if (line.rfind("inotify wd:", 0) == 0 && at != std::string::npos) {
        inodes.push_back(static_cast<ino_t>(std::stoull(line.substr(at + 5), nullptr, 16)));
      }
    }
  }
  return inodes;
}

// The number of inotify watches that this process holds, over all its inotify descriptors.
inline int inotifyWatchCount() { return static_cast<int>(inotifyWatchedInodes().size()); }

// The inode at the path (following links), or 0.
inline ino_t inodeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// True while an inotify watch of this process is on the item now at the path.
inline bool inotifyWatches(const std::string& path) {
  const ino_t inode = inodeOf(path);
  const auto inodes = inotifyWatchedInodes();
  return inode != 0 && std::find(inodes.begin(), inodes.end(), inode) != inodes.end();
}

// The number of threads of this process.
inline int threadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) {
      return std::stoi(line.substr(8));
    }
  }
  return -1;
}

// Counts calls of a callback made on another thread, and remembers when the last came.
class CallLog {
 public:
  using Clock = std::chrono::steady_clock;

  void record() {
    const std::lock_guard lock(mutex_);
    ++count_;
    last_ = Clock::now();
    changed_.notify_all();
  }

  int count() {
    const std::lock_guard lock(mutex_);
    return count_;
  }

  // Waits until there have been at least `count` calls or the limit has passed; the number.
  int waitFor(int count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return count_ >= count; });
    return count_;
  }

  Clock::time_point lastCall() {
    const std::lock_guard lock(mutex_);
    return last_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
  Clock::time_point last_;
};

}  // namespace printxpc::test_support
