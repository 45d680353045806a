// The cancel file: a GET's cancellation channel. A cancel write appends one byte to it; the
// watcher raises the cancel flag once the file is non-empty and then removes the file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

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

}  // namespace printxpc
