// The six operations of the service protocol, in protocol order, with their selectors.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace printxpc {

enum class Operation {
  kIsFilePathWritable,
  kWriteDictionaryToPlistFile,
  kSendMagicPacket,
  kSendEchoAndRecvReply,
  kPdeSnmpGet,
  kCancelFileWrite,
};

struct OperationInfo {
  Operation operation;
  std::string_view selector;
};

inline constexpr std::array<OperationInfo, 6> kOperations{{
    {Operation::kIsFilePathWritable, "isFilePathWritable_XPC:reply:"},
    {Operation::kWriteDictionaryToPlistFile, "writeDictionaryToPlistFile_XPC:reply:"},
    {Operation::kSendMagicPacket, "sendMagicPacket_XPC:reply:"},
    {Operation::kSendEchoAndRecvReply, "sendEchoAndRecvReply_XPC:reply:"},
    {Operation::kPdeSnmpGet, "pdeSnmpGet_XPC:reply:"},
    {Operation::kCancelFileWrite, "cancelFileWrite_XPC:reply:"},
}};

inline constexpr std::string_view kReplySuffix = ":reply:";

// The operation named by its full selector or by the selector without ":reply:".
inline std::optional<Operation> findOperation(std::string_view name) {
  for (const auto& info : kOperations) {
    const std::string_view bare =
        info.selector.substr(0, info.selector.size() - kReplySuffix.size());
    if (name == info.selector || name == bare) {
      return info.operation;
    }
  }
  return std::nullopt;
}

inline std::string_view selectorOf(Operation operation) {
  for (const auto& info : kOperations) {
    if (info.operation == operation) {
      return info.selector;
    }
  }
  return {};
}

}  // namespace printxpc
