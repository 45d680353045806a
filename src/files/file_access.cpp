#include "files/file_access.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uriparser/Uri.h>

#include <array>
#include <cerrno>
#include <utility>

#include "common/unique_fd.h"
#include "common/write_all.h"
#include "files/client_path.h"
#include "files/file_modes.h"
#include "files/path_parts.h"
#include "protocol/text.h"

namespace printxpc {
namespace {

// --- Following symbolic links by hand ----------------------------------------------------

using files::directoryOf;
using files::nameOf;

// The kernel's fs.protected_symlinks rule, applied whatever that setting is: in a sticky
// world-writable directory (such as /tmp) a link is followed only when it belongs to this
// process's user or to the directory's owner, so that another user's planted link never
// leads a write or a probe elsewhere. Only the owner or the directory's owner can replace such
// a link, so the check holds until the link is read.
bool mayFollow(const struct stat& directory, const struct stat& link) {
  return !files::isSharedDirectory(directory) || link.st_uid == ::geteuid() ||
         link.st_uid == directory.st_uid;
}

// Where a path leads: a name in a directory that is held open, so that every later call on the
// file goes through the directory that was checked.
struct Target {
  UniqueFd directory;  // opened without passing a magic link of /proc
  struct stat directoryInfo {};
  std::string name;                 // not a symbolic link
  std::optional<struct stat> info;  // absent: nothing exists there yet
};

// Follows symbolic links at the path to the file that a plain open would reach; nothing for a
// loop, a link that may not be followed (by the rule above, or in /proc, where the magic links
// are), or a path that cannot be examined.
std::optional<Target> resolveTarget(std::string path) {
  for (int hop = 0; hop < files::kMaxLinkHops; ++hop) {
    Target target;
    target.directory = files::openClientPath(directoryOf(path), O_PATH | O_DIRECTORY);
    target.name = nameOf(path);
    struct stat info {};
    if (!target.directory || ::fstat(target.directory.get(), &target.directoryInfo) != 0) {
      return std::nullopt;
    }
    if (::fstatat(target.directory.get(), target.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) {
        return std::nullopt;
      }
      return target;
    }
    if (!S_ISLNK(info.st_mode)) {
      target.info = info;
      return target;
    }
    auto next =
        mayFollow(target.directoryInfo, info) && !files::isProcDirectory(target.directory.get())
            ? files::linkTarget(target.directory.get(), target.name)
            : std::nullopt;
    if (!next || next->empty()) {
      return std::nullopt;
    }
    path = next->front() == '/' ? std::move(*next) : directoryOf(path) + "/" + *next;
  }
  return std::nullopt;
}

// A name beside the target's that nobody else knows, from the prefix and random digits.
std::string privateName(std::string_view prefix) {
  std::array<unsigned char, 8> random{};
  if (::getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) {
    random.fill(0);  // every user of the name creates or renames exclusively
  }
  std::string name(prefix);
  for (const unsigned char byte : random) {
    constexpr std::string_view kHex = "0123456789abcdef";
    name += kHex[byte >> 4U];
    name += kHex[byte & 0xFU];
  }
  return name;
}

// --- Writability test -------------------------------------------------------------------

// The longest path, in UTF-8 bytes, that the test accepts.
constexpr std::size_t kMaxPathBytes = 255;
// A file that keeps vanishing between the exclusive create and the open of the existing
// file is given up on after this many rounds.
constexpr int kProbeRounds = 8;

std::function<void(file_access_testing::ProbeStep)>& probeHook() {
  static std::function<void(file_access_testing::ProbeStep)> hook;
  return hook;
}

void reachProbeStep(file_access_testing::ProbeStep step) {
  if (probeHook()) {
    probeHook()(step);
  }
}

// The path as a C string, or nothing when it cannot be one.
std::optional<std::string> toCPath(std::string_view path) {
  if (path.size() > kMaxPathBytes || !files::isSystemPath(path) || !text::isValidUtf8(path)) {
    return std::nullopt;
  }
  return std::string(path);
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool renameNoReplace(int directory, const std::string& from, const std::string& to) {
  return ::renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0;
}

// Moves what is at the name to the private name. File systems without an exclusive rename get
// a plain one: nothing else uses the private name.
bool moveAside(int directory, const std::string& name, const std::string& aside) {
  if (renameNoReplace(directory, name, aside)) {
    return true;
  }
  return errno == EINVAL && ::renameat(directory, name.c_str(), directory, aside.c_str()) == 0;
}

// Moves it back without replacing whatever has arrived at the name since. File systems without
// an exclusive rename get a hard link and an unlink (a directory, which cannot be linked, a
// plain rename: none can replace a non-empty directory).
void moveBack(int directory, const std::string& aside, const std::string& name) {
  if (renameNoReplace(directory, aside, name) || errno != EINVAL) {
    return;
  }
  if (::linkat(directory, aside.c_str(), directory, name.c_str(), 0) == 0) {
    ::unlinkat(directory, aside.c_str(), 0);
  } else if (errno == EPERM) {
    (void)::renameat(directory, aside.c_str(), directory, name.c_str());
  }
}

// Removes the probe file, and nothing else. Whatever is at the name is first moved aside to a
// private name, where no other process can put anything; only there is it compared with the
// probe. A file that another process put at the name in the meantime (even by renaming it
// into place) is moved back; should yet another file have arrived at the name by then, the
// earlier one stays under the private name rather than replacing it. The probe must still be
// open, so that its inode number cannot be reused.
void removeProbe(const Target& target, const struct stat& probe) {
  reachProbeStep(file_access_testing::ProbeStep::kBeforeRemove);
  const int directory = target.directory.get();
  const std::string aside = privateName(".probe-");
  if (!moveAside(directory, target.name, aside)) {
    return;  // gone already: nothing that is known to be the probe
  }
  struct stat moved {};
  if (::fstatat(directory, aside.c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0 &&
      sameFile(moved, probe)) {
    reachProbeStep(file_access_testing::ProbeStep::kBeforeUnlink);
    ::unlinkat(directory, aside.c_str(), 0);
    return;
  }
  reachProbeStep(file_access_testing::ProbeStep::kBeforeMoveBack);
  moveBack(directory, aside, target.name);
}

enum class Probe { kWritable, kNotWritable, kVanished };

// Creates the probe file only if nothing is at the name, so the probe never mistakes another
// process's file for its own.
std::optional<Probe> probeByCreating(const Target& target) {
  reachProbeStep(file_access_testing::ProbeStep::kBeforeCreate);
  UniqueFd fd(::openat(target.directory.get(), target.name.c_str(),
                       O_RDWR | O_APPEND | O_CREAT | O_EXCL | files::kClientPathFlags,
                       files::kCreatedFileMode));
  if (!fd) {
    if (errno == EEXIST) {
      return std::nullopt;
    }
    return Probe::kNotWritable;
  }
  // The descriptor stays open until the removal: while it is, no other file can get the
  // probe's inode number, so the identity check cannot be fooled by reuse.
  struct stat probe {};
  if (::fstat(fd.get(), &probe) == 0) {
    removeProbe(target, probe);
  }
  return Probe::kWritable;
}

// Something exists at the name: opens it without creating anything, and without following a
// link (one that appeared since the path was resolved sends the probe round again).
Probe probeExistingFile(const Target& target) {
  reachProbeStep(file_access_testing::ProbeStep::kBeforeOpenExisting);
  const UniqueFd fd(::openat(target.directory.get(), target.name.c_str(),
                             O_RDWR | O_APPEND | O_NOFOLLOW | files::kClientPathFlags));
  if (fd) {
    return Probe::kWritable;
  }
  return errno == ENOENT || errno == ELOOP ? Probe::kVanished : Probe::kNotWritable;
}

// --- URL parsing ------------------------------------------------------------------------

class ParsedUri {
 public:
  explicit ParsedUri(std::string_view text) {
    const char* error = nullptr;
    ok_ =
        uriParseSingleUriExA(&uri_, text.data(), text.data() + text.size(), &error) == URI_SUCCESS;
  }
  ~ParsedUri() {
    if (ok_) {
      uriFreeUriMembersA(&uri_);
    }
  }
  ParsedUri(const ParsedUri&) = delete;
  ParsedUri& operator=(const ParsedUri&) = delete;

  bool ok() const { return ok_; }
  const UriUriA& get() const { return uri_; }

 private:
  UriUriA uri_{};
  bool ok_ = false;
};

bool present(const UriTextRangeA& range) { return range.first != nullptr; }

std::string_view view(const UriTextRangeA& range) {
  if (range.first == nullptr) {
    return {};
  }
  return {range.first, static_cast<std::size_t>(range.afterLast - range.first)};
}

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

std::string percentDecoded(std::string_view segment) {
  std::string out(segment);
  const char* end = uriUnescapeInPlaceExA(out.data(), URI_FALSE, URI_BR_DONT_TOUCH);
  out.resize(static_cast<std::size_t>(end - out.data()));
  return out;
}

// The decoded path, with a leading "/" when the URL's path is absolute (always so when the
// URL has an authority); nothing for a URL without a path.
std::string decodedPath(const UriUriA& uri) {
  const bool absolute = present(uri.hostText) || uri.absolutePath == URI_TRUE;
  std::string path;
  for (const UriPathSegmentA* segment = uri.pathHead; segment != nullptr; segment = segment->next) {
    if (absolute || segment != uri.pathHead) {
      path += '/';
    }
    path += percentDecoded(view(segment->text));
  }
  return path;
}

bool isLocalFileUri(const UriUriA& uri, std::string_view path) {
  const std::string host = asciiLower(view(uri.hostText));
  if (!host.empty() && host != "localhost") {
    return false;
  }
  if (present(uri.userInfo) || present(uri.portText) || present(uri.query) ||
      present(uri.fragment)) {
    return false;
  }
  return !path.empty() && path.front() == '/' && path.find('\0') == std::string_view::npos;
}

// --- Atomic replace ---------------------------------------------------------------------

// Gives the new file the ownership and permission bits that the target has, or those of a
// new file. Ownership is kept where the process may set it; fchown clears set-id bits, so
// the mode is applied after it.
bool applyAttributes(int fd, const std::optional<struct stat>& existing) {
  if (!existing) {
    return ::fchmod(fd, files::kCreatedFileMode) == 0;
  }
  if (existing->st_uid != ::geteuid() || existing->st_gid != ::getegid()) {
    if (::fchown(fd, existing->st_uid, existing->st_gid) != 0) {
      // Not ours to set (another owner, a group the user is not in): the file keeps the
      // process's ownership, and the write goes on.
    }
  }
  return ::fchmod(fd, existing->st_mode & 07777) == 0;
}

// A temporary file beside the target that is removed again unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const Target& target) : directory_(target.directory.get()) {
    // A name that exists already (a guess of another process) is passed over.
    constexpr int kAttempts = 16;
    for (int attempt = 0; attempt < kAttempts && !fd_; ++attempt) {
      name_ = privateName(".plist-write-");
      fd_.reset(::openat(directory_, name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      error_ = fd_ ? 0 : errno;
      if (error_ != EEXIST) {
        break;
      }
    }
    if (!fd_) {
      name_.clear();
    }
  }
  ~TemporaryFile() {
    if (!name_.empty()) {
      ::unlinkat(directory_, name_.c_str(), 0);
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  // Why no temporary file could be made: the directory may not be written.
  bool refused() const { return error_ == EACCES || error_ == EPERM; }

  // Closes the file, reporting a late write error, and renames it over the target's name.
  bool closeAndRename(const std::string& name) {
    if (::close(fd_.release()) != 0 ||
        ::renameat(directory_, name_.c_str(), directory_, name.c_str()) != 0) {
      return false;
    }
    name_.clear();
    return true;
  }

 private:
  int directory_;
  UniqueFd fd_;
  std::string name_;
  int error_ = 0;
};

// Where the directory allows no temporary file, an existing file that may be written is
// written in place: truncated, written whole and flushed. Not atomic: a failure part-way leaves
// the file short. True only when every byte reached the file.
bool writeInPlace(const Target& target, std::string_view bytes) {
  const UniqueFd fd(::openat(target.directory.get(), target.name.c_str(),
                             O_WRONLY | O_NOFOLLOW | files::kClientPathFlags));
  struct stat opened {};
  if (!fd || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
      !sameFile(opened, *target.info) || files::isSharedHardLink(target.directoryInfo, opened)) {
    return false;
  }
  return ::ftruncate(fd.get(), 0) == 0 && io::writeAll(fd.get(), bytes) && ::fsync(fd.get()) == 0;
}

// Makes the rename itself durable; a failure here no longer affects the content.
void syncDirectory(const Target& target) {
  const UniqueFd fd(::openat(target.directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) {
    (void)::fsync(fd.get());
  }
}

}  // namespace

bool isFilePathWritable_XPC(std::string_view path) {
  const auto cPath = toCPath(path);
  if (!cPath) {
    return false;
  }
  files::useCreationMask();
  for (int round = 0; round < kProbeRounds; ++round) {
    // A link (dangling ones included) is probed at the path it names; the link stays.
    const auto target = resolveTarget(*cPath);
    if (!target) {
      return false;
    }
    if (!target->info) {
      if (const auto created = probeByCreating(*target)) {
        return *created == Probe::kWritable;
      }
    }
    const Probe existing = probeExistingFile(*target);
    if (existing != Probe::kVanished) {
      return existing == Probe::kWritable;
    }
  }
  return false;
}

std::optional<Url> Url::parse(std::string_view text) {
  const ParsedUri parsed(text);
  if (!parsed.ok() || !present(parsed.get().scheme)) {
    return std::nullopt;
  }
  Url url;
  url.scheme_ = asciiLower(view(parsed.get().scheme));
  url.path_ = decodedPath(parsed.get());
  if (url.isFile() && !isLocalFileUri(parsed.get(), url.path_)) {
    return std::nullopt;
  }
  return url;
}

bool writeDictionaryToPlistFile_XPC(const Url& url, std::string_view bytes) {
  if (!url.isFile() || url.path().empty() || url.path().back() == '/') {
    return false;
  }
  const auto target = resolveTarget(url.path());
  if (!target ||
      (target->info && (!S_ISREG(target->info->st_mode) ||
                        files::isSharedHardLink(target->directoryInfo, *target->info)))) {
    return false;
  }
  TemporaryFile temporary(*target);
  if (!temporary.valid() && temporary.refused() && target->info) {
    return writeInPlace(*target, bytes);
  }
  if (!temporary.valid() || !io::writeAll(temporary.fd(), bytes) ||
      !applyAttributes(temporary.fd(), target->info) || ::fsync(temporary.fd()) != 0 ||
      !temporary.closeAndRename(target->name)) {
    return false;
  }
  syncDirectory(*target);
  return true;
}

namespace file_access_testing {

void setProbeHook(std::function<void(ProbeStep)> hook) { probeHook() = std::move(hook); }

}  // namespace file_access_testing

}  // namespace printxpc
