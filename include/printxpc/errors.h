// Why a call got no reply string: the service's transport errors and the client's own.
#pragma once

#include <cstdint>
#include <string_view>

#include "printxpc/visibility.h"

namespace printxpc {

// The transport errors the service sends in an error frame (docs/protocol.md).
enum class TransportError : std::uint16_t {
  kProtocolMismatch = 1,   // handshake named another protocol (connection closed)
  kHandshakeRequired = 2,  // first frame was not a hello (connection closed)
  kMalformedFrame = 3,     // unknown kind or unparsable payload (connection closed)
  kFrameTooLarge = 4,      // payload length above the frame limit (connection closed)
  kUnknownOperation = 5,   // selector names no operation (connection stays open)
  kInvalidUtf8 = 6,        // request string is not valid UTF-8 (connection stays open)
  kNotAvailable = 7,       // operation not available in this version (stays open)
  kBusy = 8,               // connection cap reached (connection closed)
  kPermissionDenied = 9,   // peer is neither the service's user nor root (closed)
};

// Failures found on this side; the same numbers as the PRINTXPC_ERR_ codes of printxpc.h.
enum class ClientError : std::uint16_t {
  kCannotConnect = 100,     // no service answers at the socket path
  kServerNotTrusted = 101,  // the socket's owner is neither this user nor root
  kIo = 102,                // reading or writing the socket failed, or it was closed
  kProtocol = 103,          // the service sent something the protocol does not allow
  kUnsafeDirectory = 104,   // the private per-user directory failed its checks
  kInvalidArgument = 105,   // a bad argument, or a call out of turn
  kOutOfMemory = 106,
  kNoReplyYet = 107,       // non-blocking receive: the next reply has not arrived whole
  kTimedOut = 108,         // the handshake or a reply did not come in time (connection closed)
  kUnexpectedReply = 109,  // a reply that is none of its operation's forms (stays usable)
};

// "busy", "server-not-trusted", ...; "unknown-error" for any other code.
PRINTXPC_API std::string_view errorName(std::uint16_t code);

inline constexpr std::uint16_t errorCode(TransportError error) {
  return static_cast<std::uint16_t>(error);
}
inline constexpr std::uint16_t errorCode(ClientError error) {
  return static_cast<std::uint16_t>(error);
}

}  // namespace printxpc
