// The fixed marker strings that separate the fields of the request strings.
#pragma once

#include <string_view>

namespace printxpc::markers {

// Property-list write: URL, marker, contents.
inline constexpr std::string_view kAddUrl = ":AddURL:END";

// Wake-on-LAN: address, MAC address and password, each followed by its marker.
inline constexpr std::string_view kIpAddress = ":ARGipAddressStr:";
inline constexpr std::string_view kMacAddress = ":ARGmacAddressStr:";
inline constexpr std::string_view kPassword = ":ARGpasswordStr:";

// ICMP echo: address, marker, timeout.
inline constexpr std::string_view kEchoAddress = ":sIpAddr:END";

// SNMP GET, in the order in which they follow their fields.
inline constexpr std::string_view kArgCount = ":argCount:";
inline constexpr std::string_view kIType = ":iType:";
inline constexpr std::string_view kCancelFlag = ":cancelFlag:";
inline constexpr std::string_view kCancelFileName = ":CancelFileName:";
inline constexpr std::string_view kSnmpTimeout = ":gSnmpTimeout:";
inline constexpr std::string_view kSnmpRetries = ":gSnmpRetries:";
inline constexpr std::string_view kRtnCharFlag = ":rtnCharFlag:";
inline constexpr std::string_view kArg = ":arg:";

// The literal that stands for "no value given".
inline constexpr std::string_view kNull = "NULL";

}  // namespace printxpc::markers
