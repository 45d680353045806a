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

// Creates the cancel file if it is missing (mode 0664 under the mask 002, which stays set)
// and closes it again; an existing file keeps its content. False when it cannot be opened for
// reading and writing, or for an empty path or one holding a NUL byte.
bool ensureCancelFile(std::string_view path);

// Appends one byte 0x01 to the existing file at the path; never creates it. Sets the
// process's file-creation mask to 002. A failed write (negative result) is retried once.
// True iff the last write wrote exactly one byte. False for an empty path or one holding a
// NUL byte.
bool cancelFileWrite(std::string_view path);

// Writes the cancel write's two lines to the system log at LOG_ERR: the whole request, and
// the path cut from it ("(null)" when the request has no path).
void logCancelWrite(std::string_view request, std::optional<std::string_view> path);

// Watches cancel files. One instance serves any number of watches with one thread, started
// with the first watch and joined by the destructor.
//
// A watch fires once, when the item at its path is found non-empty: onCancel() is called and
// then the item is removed, and the watch ends. Until then it lives on, whatever became of
// the request that made it, and survives the file being removed and created again. The first
// check happens at once; later changes are seen within about 20 ms. All watches of one path
// fire together (one onCancel() call for them); a watch registered after that waits for the
// next non-empty file at the path.
//
// Changes are learnt from inotify on the parent directories. A path whose directory cannot
// be watched (missing, unreadable, inotify limits reached, or moved away) is polled every
// 20 ms instead until its directory can be watched again (retried every second; a moved
// ancestor directory is noticed within about a second as well).
class CancelWatcher {
 public:
  // onCancel runs on the watcher thread and must not throw.
  explicit CancelWatcher(std::function<void()> onCancel);
  ~CancelWatcher();
  CancelWatcher(const CancelWatcher&) = delete;
  CancelWatcher& operator=(const CancelWatcher&) = delete;

  // Registers a watch on the path. False when it cannot be watched at all: an empty path,
  // one holding a NUL byte, or no watcher thread could be started.
  bool watch(std::string path);

  // Watches registered and not yet fired.
  std::size_t activeWatches() const;

 private:
  class Registry;
  bool ensureThread();

  std::unique_ptr<Registry> registry_;
  std::mutex threadMutex_;
  std::thread thread_;
};

}  // namespace printxpc
