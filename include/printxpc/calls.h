// The six operations as typed calls on a ServiceClient: each builds its request string
// (printxpc/requests.h), waits for the reply and parses it (printxpc/replies.h). A reply
// that is none of the operation's forms fails with ClientError::kUnexpectedReply; every
// other failure is the call's (printxpc/client.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "printxpc/client.h"
#include "printxpc/replies.h"
#include "printxpc/requests.h"
#include "printxpc/result.h"
#include "printxpc/visibility.h"

namespace printxpc::calls {

// Can a file be opened for reading and writing at `path`?
PRINTXPC_API Result<bool> isFilePathWritable(ServiceClient& client, std::string_view path);

// Writes `contents` as the whole file at a file: URL.
PRINTXPC_API Result<bool> writePlist(ServiceClient& client, std::string_view url,
                                     std::string_view contents);

// A Wake-on-LAN magic packet: 0 when sent, -1 when not. An absent address sends to the
// limited broadcast address, an absent MAC address as 00:00:00:00:00:00.
PRINTXPC_API Result<std::int32_t> sendMagicPacket(ServiceClient& client,
                                                  std::optional<std::string_view> address,
                                                  std::optional<std::string_view> mac,
                                                  std::optional<std::string_view> password);

// Does `address` (dotted IPv4) answer an ICMP echo within the timeout?
PRINTXPC_API Result<bool> sendEcho(ServiceClient& client, std::string_view address,
                                   std::int64_t timeoutMs);

// Appends to the cancel file at `path`, cancelling the GETs that watch it.
PRINTXPC_API Result<bool> cancelFileWrite(ServiceClient& client, std::string_view path);

// Reads one value by SNMPv1.
PRINTXPC_API Result<replies::SnmpGetReply> snmpGet(ServiceClient& client,
                                                   const requests::SnmpGetArgs& args);

}  // namespace printxpc::calls
