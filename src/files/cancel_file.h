// The cancel file: a GET's cancellation channel. A cancel write appends one byte to it; the
// watcher raises the cancel flag once the file is non-empty and then removes the file.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace printxpc {

// Cancel files are regular files. Opening one never blocks (a FIFO or a device at the path is
// refused, not waited on) and never makes a terminal the process's controlling terminal. A
// path through a magic link of /proc, and a second name of a file in a sticky world-writable
// directory, are refused (files::openClientPath, files::isSharedHardLink).

// Creates the cancel file if it is missing (mode 0664 under the mask 002, which stays set)
// and closes it again; an existing file keeps its content. False when it cannot be opened for
// reading and writing, when it is no regular file, or for an empty path or one holding a NUL
// byte.
[[nodiscard]] bool ensureCancelFile(std::string_view path);

// Appends one byte 0x01 to the existing regular file at the path; never creates it. Sets the
// process's file-creation mask to 002. A failed write (negative result) is retried once.
// True iff the last write wrote exactly one byte. False for anything but a regular file, an
// empty path or one holding a NUL byte.
[[nodiscard]] bool cancelFileWrite(std::string_view path);

// Writes the cancel write's two lines to the system log at LOG_ERR: the whole request, and
// the path cut from it ("(null)" when the request has no path). Control characters in them are
// escaped as in the service's own log, and a value beyond 4,096 bytes (escaped) is cut there,
// ending in "... [cut: N bytes in all]".
void logCancelWrite(std::string_view request, std::optional<std::string_view> path);

// Watches cancel files. One instance serves any number of watches with one thread, started
// with the first watch and joined by the destructor.
//
// A watch fires once, when the item at its path is found non-empty: onCancel() is called and
// then the item is removed, and the watch ends. Until then it lives on, whatever became of
// the request that made it, and survives the file being removed and created again. The first
// check happens at once; later changes are seen within about 20 ms. All watches of one file,
// however its path is spelled ("a/b", "a//b", "a/./b", through a linked directory), fire
// together (one onCancel() call for them); a watch registered after that waits for the next
// non-empty file at the path. Registering a watch creates the file when it is missing (as
// ensureCancelFile), so a GET whose file a firing watch removed just after the GET opened it
// still has a file for its cancel write.
//
// Changes are learnt from inotify: on the file's directory and, while it exists, on the file
// itself (so growth through a hard link elsewhere counts too). A missing directory is watched
// through its nearest existing ancestor until the missing part appears. A watch on a
// directory or file is released once no watched file needs it. Where inotify cannot be used
// (limits reached, an unreadable directory), the path is polled every 20 ms instead, and
// inotify retried every second; a moved ancestor directory is noticed within about a second.
//
// At most maxFiles files are watched at once: by default 1,024, and no more than an eighth of
// the user's inotify watch limit (fs.inotify.max_user_watches; each file takes at most two
// watches), so that other programs of the user keep theirs. Arming one more file ends the
// watches of the least recently armed one, without firing them.
class CancelWatcher {
 public:
  // onCancel runs on the watcher thread, must not throw and must not call the watcher. A
  // maxFiles of 0 takes the default cap.
  explicit CancelWatcher(std::function<void()> onCancel, std::size_t maxFiles = 0);
  ~CancelWatcher();
  CancelWatcher(const CancelWatcher&) = delete;
  CancelWatcher& operator=(const CancelWatcher&) = delete;

  // Registers a watch on the path. False when it cannot be watched at all: an empty path,
  // one holding a NUL byte or longer than PATH_MAX, or no watcher thread could be started.
  [[nodiscard]] bool watch(std::string path);

  // Watches registered and not yet fired (or ended by the cap).
  std::size_t activeWatches() const;
  // Files that those watches watch.
  std::size_t watchedFiles() const;

 private:
  class Registry;
  [[nodiscard]] bool ensureThread();

  std::unique_ptr<Registry> registry_;
  std::mutex threadMutex_;
  std::thread thread_;
};

}  // namespace printxpc
