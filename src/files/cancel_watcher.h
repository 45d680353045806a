// The cancel watcher: every watch on the cancel files of the GETs, served by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace printxpc {

// Watches cancel files. One instance serves any number of watches with one thread, started
// with the first watch and joined by the destructor.
//
// A watch fires once, when the item at its path is found non-empty: onCancel() is called and
// then the item is removed, and the watch ends. Until then it lives on, also after the GET
// that made it has ended (so that a later cancel write still removes the file), and survives
// the file being removed and created again; only the cap below can end it unfired. The first
// check happens at once; later changes are seen within about 20 ms. All watches of one file,
// however its path is spelled ("a/b", "a//b", "a/./b", through a linked directory), fire
// together (one onCancel() call for them); a watch registered after that waits for the next
// non-empty file at the path. Registering a watch creates the file when it is missing (as
// ensureCancelFile), so a GET whose file a firing watch removed just after the GET opened it
// still has a file for its cancel write. How changes are learnt: files::InotifyTree.
//
// At most maxFiles files are watched at once: by default 1,024, and no more than an eighth of
// the user's inotify watch limit (fs.inotify.max_user_watches; each file takes at most two
// watches), so that other programs of the user keep theirs. A file is held while a Hold of
// one of its watches lives (its GET still waits); the cap ends only watches of files that no
// hold keeps, the one free longest first, without firing them. A held file is never ended by
// the cap: should more files than the cap be held, the watcher holds them all until their
// holds go (the service's admission limit keeps held files far fewer than the cap).
class CancelWatcher {
  class Registry;

 public:
  // Keeps the file of one watch from the cap for as long as it lives; the watch itself goes
  // on after it. Empty (false) when the watch could not be made. Must not outlive the
  // watcher.
  class Hold {
   public:
    Hold() = default;
    Hold(Hold&& other) noexcept;
    Hold& operator=(Hold&& other) noexcept;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold() { release(); }

    explicit operator bool() const { return registry_ != nullptr; }
    // Lets the cap take the file from now on, as the destructor does.
    void release();

   private:
    friend class CancelWatcher;
    Hold(Registry& registry, std::uint64_t id) : registry_(&registry), id_(id) {}

    Registry* registry_ = nullptr;
    std::uint64_t id_ = 0;
  };

  // onCancel runs on the watcher thread, must not throw and must not call the watcher. A
  // maxFiles of 0 takes the default cap.
  explicit CancelWatcher(std::function<void()> onCancel, std::size_t maxFiles = 0);
  ~CancelWatcher();
  CancelWatcher(const CancelWatcher&) = delete;
  CancelWatcher& operator=(const CancelWatcher&) = delete;

  // Registers a watch on the path and holds its file. Empty when it cannot be watched at all:
  // an empty path, one holding a NUL byte or longer than PATH_MAX, or no watcher thread could
  // be started.
  [[nodiscard]] Hold watch(std::string path);

  // Watches registered and not yet fired (or ended by the cap).
  std::size_t activeWatches() const;
  // Files that those watches watch.
  std::size_t watchedFiles() const;

 private:
  [[nodiscard]] bool ensureThread();

  std::unique_ptr<Registry> registry_;
  std::mutex threadMutex_;
  std::thread thread_;
};

}  // namespace printxpc
