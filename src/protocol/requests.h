// Parsing of each operation's request string; the builders are public (printxpc/requests.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "printxpc/requests.h"

namespace printxpc::requests {

// writeDictionaryToPlistFile: URL, ":AddURL:END", then the file contents.
struct PlistWrite {
  std::string_view url;
  std::string_view contents;
};
std::optional<PlistWrite> parsePlistWrite(std::string_view request);

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

// sendEchoAndRecvReply: address, ":sIpAddr:END", then the timeout in milliseconds.
struct Echo {
  std::string_view address;
  std::int64_t timeoutMs = 0;
};
// Absent without the marker.
std::optional<Echo> parseEcho(std::string_view request);

// cancelFileWrite: the cancel file path followed by ":CancelFileName:"; later text ignored.
std::optional<std::string_view> parseCancelWrite(std::string_view request);

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

}  // namespace printxpc::requests
