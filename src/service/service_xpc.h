// The service object: one per client connection. Each operation takes the request string
// and answers exactly once through its reply callback, on the calling thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/operations.h"

namespace printxpc {

using Reply = std::function<void(std::string_view)>;

class OrvaneServiceXPC {
 public:
  void isFilePathWritable_XPC(std::string_view request, const Reply& reply);
  void writeDictionaryToPlistFile_XPC(std::string_view request, const Reply& reply);
  void sendMagicPacket_XPC(std::string_view request, const Reply& reply);
  void sendEchoAndRecvReply_XPC(std::string_view request, const Reply& reply);
  void pdeSnmpGet_XPC(std::string_view request, const Reply& reply);
  void cancelFileWrite_XPC(std::string_view request, const Reply& reply);

  // Whether this version of the service implements the operation.
  static bool isAvailable(Operation operation);

  // Runs the operation and returns its reply string; absent when the operation is not
  // available in this version (the transport then answers with an error).
  std::optional<std::string> perform(Operation operation, std::string_view request);
};

}  // namespace printxpc
