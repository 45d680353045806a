// Parsers of the reply strings, one per reply form, beside the request builders of
// printxpc/requests.h: a reply becomes a typed value, or an Error with the code
// ClientError::kUnexpectedReply when it is not one of its operation's forms (a service of
// another version), never a guessed value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "printxpc/result.h"
#include "printxpc/visibility.h"

namespace printxpc::replies {

// The status of a GET that found no value ("FALSE:rtn_ExitValue=N").
inline constexpr std::int32_t kSnmpCancelled = -1;            // the cancel flag was raised
inline constexpr std::int32_t kSnmpNoExchange = -9780;        // nothing sent, or no answer came
inline constexpr std::int32_t kSnmpNotExpectedKind = -30896;  // not of the expected kind
inline constexpr std::int32_t kSnmpUnknownKind = -50;         // a value of an unknown kind

// A GET's text is at most this many bytes of UTF-8.
inline constexpr std::size_t kMaxSnmpText = 255;

// A GET's reply, parsed.
struct SnmpGetReply {
  enum class Kind {
    kInteger,  // "TRUE:uResult.integer=N": `integer`
    kText,     // "TRUE:uResult.string=TEXT": `text`
    kFailure,  // "FALSE:rtn_ExitValue=N": `status`
    kFalse,    // "FALSE": the cancel file could not be created, or the request was incomplete
  };
  Kind kind = Kind::kFalse;
  std::int32_t integer = 0;
  std::string text;
  std::int32_t status = 0;
};

// "TRUE" or "FALSE": writability, property-list write, echo, cancel write.
PRINTXPC_API Result<bool> parseBoolean(std::string_view reply);
// A decimal number ("0" or "-1"): the magic packet.
PRINTXPC_API Result<std::int32_t> parseInteger(std::string_view reply);
// One of the four forms of a GET's reply.
PRINTXPC_API Result<SnmpGetReply> parseSnmpGet(std::string_view reply);

}  // namespace printxpc::replies
