// The service object: one per caller. Each operation takes the request string and answers
// exactly once through its reply callback, on the calling thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "files/cancel_watcher.h"
#include "protocol/operations.h"
#include "service/core/cancellation.h"
#include "snmp/snmp_get.h"

namespace printxpc {

using Reply = std::function<void(std::string_view)>;

// What the service objects of one service share (the core holds it): what cancels their
// GETs, and the GETs' timeout and retries.
struct SharedState {
  Cancellation cancellation;  // first: the GETs refer to its signal
  SnmpGetShared snmp{cancellation.signal()};
};

class OrvaneServiceXPC {
 public:
  explicit OrvaneServiceXPC(SharedState& shared) : shared_(&shared) {}

  void isFilePathWritable_XPC(std::string_view request, const Reply& reply);
  void writeDictionaryToPlistFile_XPC(std::string_view request, const Reply& reply);
  void sendMagicPacket_XPC(std::string_view request, const Reply& reply);
  void sendEchoAndRecvReply_XPC(std::string_view request, const Reply& reply);
  void pdeSnmpGet_XPC(std::string_view request, const Reply& reply);
  void cancelFileWrite_XPC(std::string_view request, const Reply& reply);

  // Starts no thread: registers a watch on the cancel file at the path with the service's
  // one cancel watcher, whose thread serves every watch. The watch ends once a cancel is
  // written to the file, or, after the returned hold has gone (the GET has ended), when the
  // watcher's cap needs its place. Empty when the path cannot be watched.
  [[nodiscard]] CancelWatcher::Hold cancelFileReadThread(std::string path);

  // Runs the operation and returns its reply string.
  std::string perform(Operation operation, std::string_view request);

 private:
  SharedState* shared_;
};

}  // namespace printxpc
