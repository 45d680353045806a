// Builders of the request string of each of the six operations. The service parses request
// strings with the same code that builds them here, so the two cannot drift apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "printxpc/result.h"
#include "printxpc/visibility.h"

namespace printxpc::requests {

// isFilePathWritable: the whole request string is the path.
PRINTXPC_API std::string buildFileWritable(std::string_view path);

// writeDictionaryToPlistFile: URL, ":AddURL:END", then the file contents.
PRINTXPC_API std::string buildPlistWrite(std::string_view url, std::string_view contents);

// sendMagicPacket: address, MAC address and password, each followed by its marker; an
// absent one is sent as "NULL".
PRINTXPC_API std::string buildMagicPacket(std::optional<std::string_view> address,
                                          std::optional<std::string_view> mac,
                                          std::optional<std::string_view> password);

// sendEchoAndRecvReply: address, ":sIpAddr:END", then the timeout in milliseconds.
PRINTXPC_API std::string buildEcho(std::string_view address, std::int64_t timeoutMs);

// cancelFileWrite: the cancel file path followed by ":CancelFileName:".
PRINTXPC_API std::string buildCancelWrite(std::string_view path);

// pdeSnmpGet: seven marked fields, then the argument list, each entry followed by ":arg:".
struct SnmpGetFields {
  std::string argCount = "8";
  std::int32_t iType = 4;
  std::optional<std::int32_t> cancelFlag;  // absent: "NULL", no watcher
  std::string cancelFileName;
  std::int32_t timeoutMs = 0;  // 0 keeps the service's current timeout
  std::int32_t retries = 0;    // 0 keeps the service's current retry count
  std::int32_t rtnCharFlag = 0;
  std::vector<std::string> args;  // each written followed by ":arg:"
};
PRINTXPC_API std::string buildSnmpGet(const SnmpGetFields& fields);

// The eight-entry argument list of an ordinary GET: community in entry 3, host in 6, OID in 7.
PRINTXPC_API std::vector<std::string> snmpGetArgs(std::string_view community, std::string_view host,
                                                  std::string_view oid);

// What a caller chooses for a GET; with the defaults and a host and OID it is an ordinary one.
struct SnmpGetArgs {
  std::string host;  // the printer's numeric IPv4 address
  std::string oid;   // dotted decimal, "1.3.6.1.2.1.1.5.0"
  std::string community = "public";
  // The wait for the answer, sent with every GET so that no other caller's stored timeout
  // applies; 0 (or less) sends none and keeps the service's process-wide timeout.
  std::int32_t timeoutMs = 1000;
  std::int32_t expectedType = 4;  // 4: text (a NULL or other non-text value is empty text)
  bool macForm = false;           // format a text value as a MAC address
  // The cancel file watched during the GET; empty: defaultCancelFile().
  std::string cancelFile;
  // Stored into the service's process-wide cancel flag when the file is watched (0 clears an
  // earlier cancel); absent: the file is not watched and the flag is left as it is.
  std::optional<std::int32_t> cancelFlag = 0;
};
// The request string, or why there is none (the default cancel file's directory is unsafe).
PRINTXPC_API Result<std::string> buildSnmpGet(const SnmpGetArgs& args);

}  // namespace printxpc::requests
