// The parts of a path as text, without asking the file system.
#pragma once

#include <string>

namespace printxpc::files {

// Everything before the last "/": "." for a bare name, "/" for a name in the root.
inline std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Everything after the last "/".
inline std::string nameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace printxpc::files
