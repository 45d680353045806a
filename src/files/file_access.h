// The file operations behind isFilePathWritable_XPC:reply: and
// writeDictionaryToPlistFile_XPC:reply:.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace printxpc {

// Whether a file can be opened for reading and writing at the path. A probe file that
// this call creates is removed again; a file that it did not create is never removed.
bool isFilePathWritable_XPC(std::string_view path);

// A URL accepted by a strict parser (nothing escaped or completed for the caller).
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

// Replaces the whole content of the file that a file URL names with the bytes, atomically:
// on failure the previous content is intact. False for any other scheme.
bool writeDictionaryToPlistFile_XPC(const Url& url, std::string_view bytes);

}  // namespace printxpc
