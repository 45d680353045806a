#include "protocol/request_string.h"

namespace printxpc {

std::optional<std::size_t> RequestString::find(std::string_view marker) const {
  const std::size_t at = text_.find(marker);
  if (at == std::string_view::npos) {
    return std::nullopt;
  }
  return at;
}

std::optional<std::string_view> RequestString::leadingField(std::string_view marker) const {
  const auto at = find(marker);
  if (!at) {
    return std::nullopt;
  }
  return text_.substr(0, *at);
}

std::optional<std::string_view> RequestString::fieldBetween(std::string_view previous,
                                                            std::string_view marker) const {
  const auto previousAt = find(previous);
  const auto at = find(marker);
  if (!previousAt || !at) {
    return std::nullopt;
  }
  const std::size_t begin = *previousAt + previous.size();
  if (*at < begin) {
    return std::nullopt;
  }
  return text_.substr(begin, *at - begin);
}

std::optional<std::string_view> RequestString::trailingText(std::string_view marker) const {
  const auto at = find(marker);
  if (!at) {
    return std::nullopt;
  }
  return text_.substr(*at + marker.size());
}

RequestBuilder& RequestBuilder::field(std::string_view value, std::string_view marker) {
  out_.append(value);
  out_.append(marker);
  return *this;
}

RequestBuilder& RequestBuilder::text(std::string_view value) {
  out_.append(value);
  return *this;
}

}  // namespace printxpc
