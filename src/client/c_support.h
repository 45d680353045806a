// What the functions of the C API share: the handle, and turning results into codes and
// messages with nothing thrown across into C.
#pragma once

#include <cstring>
#include <string_view>
#include <utility>

#include "printxpc/client.h"
#include "printxpc/errors.h"
#include "printxpc/printxpc.h"
#include "printxpc/result.h"
#include "protocol/text.h"

struct printxpc_client {
  printxpc::ServiceClient client;
};

namespace printxpc::c_api {

// Fills in the error (when given) with the code and the message, cut at a whole UTF-8
// character to fit, and returns the code.
inline int report(printxpc_error* error, int code, std::string_view message) {
  if (error != nullptr) {
    error->code = code;
    const std::size_t length = text::wholeCharacterPrefix(message, sizeof(error->message) - 1);
    std::memcpy(error->message, message.data(), length);
    error->message[length] = '\0';
  }
  return code;
}

inline int report(printxpc_error* error, const Error& failure) {
  return report(error, failure.code, failure.message);
}

inline int invalid(printxpc_error* error, std::string_view message) {
  return report(error, errorCode(ClientError::kInvalidArgument), message);
}

inline int ok(printxpc_error* error) { return report(error, PRINTXPC_OK, ""); }

// Runs a body that may throw (allocation); anything thrown becomes PRINTXPC_ERR_NO_MEMORY.
template <typename Body>
int guarded(printxpc_error* error, Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return report(error, errorCode(ClientError::kOutOfMemory), "out of memory");
  }
}

}  // namespace printxpc::c_api
