// The inotify watches that tell when the item at a file's path may have changed: a small
// wrapper around one inotify instance, with no thread of its own. Its owner polls fd(), calls
// processEvents() when it is readable and checks the files named; it calls upkeep() now and
// then (about once a second) and polls the paths of polledFiles() itself.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/unique_fd.h"

namespace printxpc::files {

// The path without empty and "." components (a last "." stays), which the kernel resolves to
// the same item: "a//b" and "a/./b" are "a/b".
std::string normalizedPath(std::string_view path);

// One key for every spelling of a file: the real path of its nearest existing directory
// (links resolved), then the rest of the path. Used only to tell files apart: the file itself
// is always reached through the path as the client spelled it, by the kernel.
std::string fileKey(const std::string& path);

// A file is watched through its directory (for a missing directory: the nearest existing
// ancestor, until the missing part appears) and, while it exists, through itself (so growth
// through a hard link elsewhere counts too). inotify gives one watch per inode, so directories
// and files shared by several files cost one watch, released with the last file that needs
// it. Where inotify cannot be used (limits reached, an unreadable directory), the file is
// listed in polledFiles() instead, and upkeep() tries inotify again.
//
// Not safe for concurrent use: the owner serialises every call.
class InotifyTree {
 public:
  using FileId = std::uint64_t;

  InotifyTree();
  InotifyTree(const InotifyTree&) = delete;
  InotifyTree& operator=(const InotifyTree&) = delete;
  ~InotifyTree() = default;

  // The inotify descriptor (non-blocking), or -1 when there is none: every file is polled.
  [[nodiscard]] int fd() const { return inotify_.get(); }

  // Starts watching the file at the path (normalized) under the owner's id, unused so far.
  void attach(FileId id, std::string_view path);
  // Releases the file's watches that no other file needs.
  void detach(FileId id);
  // Another spelling of the same file: used from now on. Its watches stay; a later change of
  // what the old spelling's directory path leads to is caught by upkeep().
  void respell(FileId id, std::string_view path);
  // The path as last attached or respelled; every file-system call about the file goes
  // through it. Empty for an unknown id.
  [[nodiscard]] const std::string& pathOf(FileId id) const;

  // Reads every pending event and appends the files whose item may have changed (duplicates
  // possible). Follows directories as they appear, go or are replaced.
  void processEvents(std::vector<FileId>& changed);
  // A check found the file's item without a cancel: watch the file itself if it is now a
  // regular file at its path (or another one than before).
  void refreshFile(FileId id);
  // Directories no longer at their path (an ancestor was moved, or something mounted over
  // it) and polled files look for their directory again; all of them are appended.
  void upkeep(std::vector<FileId>& changed);

  [[nodiscard]] const std::unordered_set<FileId>& polledFiles() const { return polled_; }
  // The inotify watches held now (directories and files).
  [[nodiscard]] std::size_t watchCount() const { return nodes_.size(); }

 private:
  struct File {
    std::string path;
    int directoryWd = -1;   // the file's directory, or its nearest existing ancestor
    std::string childName;  // the name in that directory on the way to the file
    bool inParent = false;  // directoryWd is the file's own directory
    int fileWd = -1;
  };
  struct Node {
    bool directory = true;
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;  // a directory's path when watched, for the upkeep's check
    std::unordered_multimap<std::string, FileId> byName;  // directory: names waited on
    std::unordered_set<FileId> users;                     // file: its files
  };
  using NodeIt = std::unordered_map<int, Node>::iterator;

  void watch(FileId id, File& file);
  void unwatch(FileId id, File& file);
  void rewatch(FileId id, File& file);
  void releaseIfUnused(NodeIt node);
  void refreshFileWatch(FileId id, File& file);
  void dropFileWatch(FileId id, File& file);
  void dropDirectory(NodeIt node, bool removeWatch, std::vector<FileId>& changed);
  void handleEvent(std::uint32_t mask, int wd, std::string_view name, std::vector<FileId>& changed);

  UniqueFd inotify_;
  std::unordered_map<FileId, File> files_;
  std::unordered_map<int, Node> nodes_;
  std::unordered_set<FileId> polled_;
};

}  // namespace printxpc::files
