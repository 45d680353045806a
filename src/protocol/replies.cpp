#include "protocol/replies.h"

#include <charconv>
#include <utility>

#include "printxpc/errors.h"
#include "protocol/text.h"

namespace printxpc::replies {
namespace {

Error unexpected(std::string_view what, std::string_view reply) {
  constexpr std::size_t kShown = 60;
  std::string message = "the service's reply is not " + std::string(what) + ": \"";
  message += reply.substr(0, text::wholeCharacterPrefix(reply, kShown));
  message += reply.size() > kShown ? "...\"" : "\"";
  return {errorCode(ClientError::kUnexpectedReply), std::move(message)};
}

// A decimal number exactly as the service prints one ("%d"): an optional minus sign, digits,
// nothing else, within the signed 32-bit range.
std::optional<std::int32_t> decimal(std::string_view digits) {
  if (digits.empty() || digits.front() == '+') {
    return std::nullopt;
  }
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

Result<bool> parseBoolean(std::string_view reply) {
  if (reply == kTrue || reply == kFalse) {
    return reply == kTrue;
  }
  return unexpected("TRUE or FALSE", reply);
}

Result<std::int32_t> parseInteger(std::string_view reply) {
  if (const auto value = decimal(reply)) {
    return *value;
  }
  return unexpected("a number", reply);
}

Result<SnmpGetReply> parseSnmpGet(std::string_view reply) {
  constexpr std::string_view kForms = "a GET's reply";
  SnmpGetReply parsed;
  if (reply == kFalse) {
    return parsed;
  }
  if (reply.starts_with(kSnmpTextPrefix)) {
    const std::string_view value = reply.substr(kSnmpTextPrefix.size());
    if (value.size() > kMaxSnmpText || !text::isValidUtf8(value)) {
      return unexpected(kForms, reply);
    }
    parsed.kind = SnmpGetReply::Kind::kText;
    parsed.text = value;
    return parsed;
  }
  const bool integer = reply.starts_with(kSnmpIntegerPrefix);
  const bool failure = !integer && reply.starts_with(kSnmpFailurePrefix);
  const auto number =
      integer || failure
          ? decimal(reply.substr((integer ? kSnmpIntegerPrefix : kSnmpFailurePrefix).size()))
          : std::nullopt;
  if (!number) {
    return unexpected(kForms, reply);
  }
  parsed.kind = integer ? SnmpGetReply::Kind::kInteger : SnmpGetReply::Kind::kFailure;
  (integer ? parsed.integer : parsed.status) = *number;
  return parsed;
}

}  // namespace printxpc::replies
