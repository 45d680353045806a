// What the core answers a request, as every front receives it.
#pragma once

#include <string>

#include "printxpc/errors.h"
#include "printxpc/result.h"

namespace printxpc {

// The operation's reply string, or a transport error (a TransportError in Error::code)
// saying why there is none: kBusy, kFrameTooLarge or kNotAvailable. Each front says it in
// its own terms.
using Answer = Result<std::string>;

// Whether the socket front closes the connection after this error: the client is told to
// come back later (busy), or sent more than the service reads (frame-too-large).
inline bool endsConnection(std::uint16_t code) {
  return code == errorCode(TransportError::kBusy) ||
         code == errorCode(TransportError::kFrameTooLarge);
}

}  // namespace printxpc
