// The service object: one per caller. Each operation takes the request string and answers
// exactly once through its reply callback, on the calling thread.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "files/cancel_file.h"
#include "protocol/operations.h"
#include "snmp/snmp_get.h"

namespace printxpc {

using Reply = std::function<void(std::string_view)>;

// What the service objects of one service share (the core holds it): the GETs' cancel flag,
// timeout and retries, and the one cancel watcher, whose watches raise that cancel flag.
class SharedState {
 public:
  SnmpGetShared snmp;

  // Made with the first watch, so that a service whose GETs never ask for cancellation
  // holds no inotify instance.
  CancelWatcher& watcher() {
    std::call_once(watcherMade_, [this] { watcher_.emplace([this] { snmp.raiseCancel(); }); });
    return *watcher_;
  }

 private:
  std::once_flag watcherMade_;
  std::optional<CancelWatcher> watcher_;
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

  // Watches the cancel file at the path for the rest of the process's life, or until a
  // cancel is written to it. One watcher thread serves every watch.
  void cancelFileReadThread(std::string path);

  // Runs the operation and returns its reply string.
  std::string perform(Operation operation, std::string_view request);

 private:
  SharedState* shared_;
};

}  // namespace printxpc
