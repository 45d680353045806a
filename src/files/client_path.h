// Opening the paths that clients name, and the rules for names in directories shared by every
// user. Whatever a client names may be a link or a name that another local user planted.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "common/unique_fd.h"

namespace printxpc::files {

// The most symbolic links that one path may pass, as the kernel has it.
inline constexpr int kMaxLinkHops = 40;

// The text of the symbolic link at the name in the directory (AT_FDCWD: the working
// directory); nothing when it is none or cannot be read.
std::optional<std::string> linkTarget(int directory, const std::string& name);

// Opens the path as open(2) would with the flags (kClientPathFlags added, the mode used with
// O_CREAT), except that the path never resolves through a magic link of /proc
// (/proc/self/fd/N, /dev/fd/N, /proc/PID/cwd...): those lead to the service's own descriptors
// and directories, not to a file of the client's. Such a path fails with ELOOP. Uses openat2
// with RESOLVE_NO_MAGICLINKS where the kernel has it; otherwise the path is first walked as the
// kernel resolves it and refused when a symbolic link on the way lies in a proc file system.
UniqueFd openClientPath(const std::string& path, int flags, mode_t mode = 0);

// Whether symbolic links in the open directory must not be followed by hand: it is in a proc
// file system, where the magic links are (readlink gives only a description of their target).
bool isProcDirectory(int directory);

// A sticky world-writable directory, such as /tmp: every user may make names in it.
bool isSharedDirectory(const struct stat& directory);

// Whether a regular file reached through a name in the directory may not be written through
// that name: in a shared directory, a second name of a file may have been made by another user
// (where fs.protected_hardlinks is off) for a file of the service's user, and nobody can tell
// who made it. So there, a file with more than one link is refused, whatever that setting is.
bool isSharedHardLink(const struct stat& directory, const struct stat& file);

// The same for a file open at the descriptor, opened through the path: the directory is that
// of the name the descriptor was opened through (a symbolic link at the path followed).
bool isSharedHardLink(int fd, const std::string& path);

namespace client_path_testing {

// Makes openClientPath use openat2 (true, the default) or the walk that stands in for it on
// kernels without openat2. Not thread-safe: tests set it while no operation runs.
void useOpenat2(bool use);

}  // namespace client_path_testing

}  // namespace printxpc::files
