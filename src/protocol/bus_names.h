// Names of the service on the D-Bus session bus, shared by the service and its callers. The
// methods are named after the operations of the one operation table (printxpc/operations.h):
// the selector without "_XPC:reply:", with a capital first letter.
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
inline constexpr std::string_view kErrorNotAvailable = "org.printxpc.Service1.Error.NotAvailable";
inline constexpr std::string_view kErrorAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
inline constexpr std::string_view kErrorLimitsExceeded =
    "org.freedesktop.DBus.Error.LimitsExceeded";

// "org.printxpc.ServiceA" for build "a".
inline std::string busName(const BuildIdentity& build) {
  std::string name(kNamePrefix);
  for (const char c : build.id) {
    name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return name;
}

inline constexpr std::string_view kSelectorSuffix = "_XPC:reply:";

// The method names, in the order of the operation table.
inline const std::array<std::string, kOperations.size()>& methodNames() {
  static const auto names = [] {
    std::array<std::string, kOperations.size()> made;
    for (std::size_t i = 0; i < kOperations.size(); ++i) {
      std::string_view selector = kOperations[i].selector;
      selector.remove_suffix(kSelectorSuffix.size());
      made[i] = selector;
      made[i][0] = static_cast<char>(std::toupper(static_cast<unsigned char>(made[i][0])));
    }
    return made;
  }();
  return names;
}

// "IsFilePathWritable" for Operation::kIsFilePathWritable.
inline std::string_view methodOf(Operation operation) {
  for (std::size_t i = 0; i < kOperations.size(); ++i) {
    if (kOperations[i].operation == operation) {
      return methodNames()[i];
    }
  }
  return {};
}

inline std::optional<Operation> operationOfMethod(std::string_view method) {
  for (std::size_t i = 0; i < kOperations.size(); ++i) {
    if (methodNames()[i] == method) {
      return kOperations[i].operation;
    }
  }
  return std::nullopt;
}

}  // namespace printxpc::bus
