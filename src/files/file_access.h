// The file operations behind isFilePathWritable_XPC:reply: and
// writeDictionaryToPlistFile_XPC:reply:.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace printxpc {

// Whether a file can be opened for reading and writing at the path. A probe file that
// this call creates is removed again; a file that it did not create is never removed, even
// one that another process renames into place while the probe file is being removed.
//
// False without any file-system call when the path needs more than 255 bytes, holds a NUL
// byte or is not valid UTF-8. Sets the process's file-creation mask to 002 (and leaves it
// so). A symbolic link is followed by the rule described at writeDictionaryToPlistFile_XPC;
// a dangling one is probed at the path that it names (the link stays). A path through a magic
// link of /proc gives false (files::openClientPath). Opening never blocks and never makes a
// terminal the process's controlling terminal.
[[nodiscard]] bool isFilePathWritable_XPC(std::string_view path);

// A URL accepted by a strict parser (nothing escaped or completed for the caller).
//
// File URLs are accepted only when they name an absolute local path: "file:///abs/path",
// "file://localhost/abs/path" or "file:/abs/path", without user, port, query or fragment,
// and with no NUL byte in the decoded path. Other schemes parse (with their decoded path)
// but cannot be written.
class Url {
 public:
  static std::optional<Url> parse(std::string_view text);

  const std::string& scheme() const { return scheme_; }  // lower case
  // The percent-decoded path; meaningful for the file scheme.
  const std::string& path() const { return path_; }
  bool isFile() const { return scheme_ == "file"; }

 private:
  std::string scheme_;
  std::string path_;
};

// Replaces the whole content of the file that a file URL names with the bytes. False for any
// other scheme.
//
// Atomic wherever the directory may be written: the bytes go to a temporary file in the same
// directory, which is flushed to disk and renamed over the target, so a failure leaves the
// previous content intact and no temporary file behind. Where the directory may not be
// written but the existing file may, the file is written in place (truncated, written,
// flushed): true only when every byte reached it, but a failure part-way leaves it short.
//
// - An existing file keeps its permission bits (and, where the process may set them, its
//   owner and group). It must be a regular file; a directory, FIFO or device gives false.
// - A new file gets the permission bits 0664 (rw-rw-r--), the same as every other file the
//   service creates, whatever the process's file-creation mask is.
// - A symbolic link is followed to the file it names (also when that file does not exist
//   yet), and that file is replaced; the link stays. In a sticky world-writable directory
//   (such as /tmp) a link is followed only when it belongs to this process's user or to the
//   directory's owner, as the kernel's fs.protected_symlinks rule has it, whatever that
//   setting is; another user's link there gives false. A path through a magic link of /proc
//   gives false (files::openClientPath).
// - In a sticky world-writable directory, a regular file with more than one link gives false,
//   untouched: another user may have made that name (files::isSharedHardLink).
// - A new file needs a writable directory.
[[nodiscard]] bool writeDictionaryToPlistFile_XPC(const Url& url, std::string_view bytes);

namespace file_access_testing {

// The points inside isFilePathWritable_XPC at which a test can change the file system to
// reproduce a race with another process.
enum class ProbeStep {
  kBeforeCreate,        // before the exclusive create of the probe file
  kBeforeOpenExisting,  // the exclusive create found something; before it is opened
  kBeforeRemove,        // the probe file was created; before its removal starts
  kBeforeUnlink,        // the removal found the probe file itself; before it is unlinked
  kBeforeMoveBack,      // the removal moved aside another's file; before it is moved back
};

// Installs (or, with an empty function, removes) the hook. Not thread-safe: tests set it
// while no writability test runs.
void setProbeHook(std::function<void(ProbeStep)> hook);

}  // namespace file_access_testing

}  // namespace printxpc
