// Names of the service on the D-Bus session bus, shared by the service and its callers.
#pragma once

#include <array>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>

#include "printxpc/builds.h"
#include "protocol/operations.h"

namespace printxpc::bus {

inline constexpr std::string_view kObjectPath = "/org/printxpc/Service";
inline constexpr std::string_view kInterface = "org.printxpc.Service1";
inline constexpr std::string_view kNamePrefix = "org.printxpc.Service";

// Errors of the interface that are not replies of an operation.
inline constexpr std::string_view kErrorBusy = "org.printxpc.Service1.Error.Busy";
inline constexpr std::string_view kErrorNotText = "org.printxpc.Service1.Error.ReplyNotText";
inline constexpr std::string_view kErrorAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";

struct MethodInfo {
  Operation operation;
  std::string_view method;
};

inline constexpr std::array<MethodInfo, 6> kMethods{{
    {Operation::kIsFilePathWritable, "IsFilePathWritable"},
    {Operation::kWriteDictionaryToPlistFile, "WriteDictionaryToPlistFile"},
    {Operation::kSendMagicPacket, "SendMagicPacket"},
    {Operation::kSendEchoAndRecvReply, "SendEchoAndRecvReply"},
    {Operation::kPdeSnmpGet, "PdeSnmpGet"},
    {Operation::kCancelFileWrite, "CancelFileWrite"},
}};

// "org.printxpc.ServiceA" for build "a".
inline std::string busName(const BuildIdentity& build) {
  std::string name(kNamePrefix);
  for (const char c : build.id) {
    name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return name;
}

inline std::string_view methodOf(Operation operation) {
  for (const auto& info : kMethods) {
    if (info.operation == operation) {
      return info.method;
    }
  }
  return {};
}

inline std::optional<Operation> operationOfMethod(std::string_view method) {
  for (const auto& info : kMethods) {
    if (info.method == method) {
      return info.operation;
    }
  }
  return std::nullopt;
}

}  // namespace printxpc::bus
