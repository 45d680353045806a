// Parsing and building of each operation's request string. The service parses with these
// functions and the client builds with them, so the two cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace printxpc::requests {

// writeDictionaryToPlistFile: URL, ":AddURL:END", then the file contents.
struct PlistWrite {
  std::string_view url;
  std::string_view contents;
};
std::optional<PlistWrite> parsePlistWrite(std::string_view request);
std::string buildPlistWrite(std::string_view url, std::string_view contents);

// sendMagicPacket: address, MAC address and password, each followed by its marker. A field
// whose marker is missing, or whose text is exactly "NULL", is absent.
struct MagicPacket {
  std::optional<std::string_view> address;
  std::optional<std::string_view> mac;
  std::optional<std::string_view> password;
};
// Absent when the fields are undefined: a marker is missing while a later one is
// present, or the markers stand out of order.
std::optional<MagicPacket> parseMagicPacket(std::string_view request);
std::string buildMagicPacket(std::optional<std::string_view> address,
                             std::optional<std::string_view> mac,
                             std::optional<std::string_view> password);

// sendEchoAndRecvReply: address, ":sIpAddr:END", then the timeout in milliseconds.
struct Echo {
  std::string_view address;
  std::int64_t timeoutMs = 0;
};
// Absent without the marker.
std::optional<Echo> parseEcho(std::string_view request);
std::string buildEcho(std::string_view address, std::int64_t timeoutMs);

// cancelFileWrite: the cancel file path followed by ":CancelFileName:"; later text ignored.
std::optional<std::string_view> parseCancelWrite(std::string_view request);
std::string buildCancelWrite(std::string_view path);

// pdeSnmpGet: seven marked fields, then the ":arg:"-separated argument list. Each field is
// absent when its marker or the marker before it is missing, or when they are out of order.
struct SnmpGet {
  std::optional<std::string_view> iType;
  std::optional<std::string_view> cancelFlag;
  std::optional<std::string_view> cancelFileName;
  std::optional<std::string_view> timeout;
  std::optional<std::string_view> retries;
  std::optional<std::string_view> rtnCharFlag;
  std::optional<std::string_view> argList;  // everything after ":rtnCharFlag:"
};
SnmpGet parseSnmpGet(std::string_view request);

// Slots of the argument vector; entries beyond them are ignored.
inline constexpr std::size_t kSnmpArgSlots = 512;

// Splits the argument list at every ":arg:". The text after the last ":arg:" is not an
// entry, so "a:arg:b:arg:" gives {a, b} and "a:arg:b" gives {a}.
std::vector<std::string_view> splitSnmpArgs(std::string_view argList);

// The argument slots that the GET reads.
inline constexpr std::size_t kCommunitySlot = 3;
inline constexpr std::size_t kHostSlot = 6;
inline constexpr std::size_t kOidSlot = 7;

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
std::string buildSnmpGet(const SnmpGetFields& fields);

// The eight-entry argument list of an ordinary GET: community in slot 3, host in 6, OID in 7.
std::vector<std::string> snmpGetArgs(std::string_view community, std::string_view host,
                                     std::string_view oid);

}  // namespace printxpc::requests
