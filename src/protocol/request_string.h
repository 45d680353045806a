// The request-string convention: fields each followed by a fixed marker; every marker is
// found by its first occurrence in the whole string, independently of the others.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace printxpc {

class RequestString {
 public:
  explicit RequestString(std::string_view text) : text_(text) {}

  std::string_view text() const { return text_; }

  // Start of the first occurrence of the marker.
  std::optional<std::size_t> find(std::string_view marker) const;

  // Text from the start of the string to the first occurrence of the marker.
  std::optional<std::string_view> leadingField(std::string_view marker) const;

  // Text from the end of `previous` to the start of `marker`. Absent when either marker
  // is missing or `marker` starts before `previous` ends (markers out of order).
  std::optional<std::string_view> fieldBetween(std::string_view previous,
                                               std::string_view marker) const;

  // Text from the end of the marker to the end of the string.
  std::optional<std::string_view> trailingText(std::string_view marker) const;

 private:
  std::string_view text_;
};

// Builds a request string by appending each value followed by its marker. The builder
// does not check values: a value that holds its own marker cannot be parsed back, which
// is a property of the convention, not of this class.
class RequestBuilder {
 public:
  RequestBuilder& field(std::string_view value, std::string_view marker);
  RequestBuilder& text(std::string_view value);
  std::string str() && { return std::move(out_); }
  const std::string& str() const& { return out_; }

 private:
  std::string out_;
};

}  // namespace printxpc
