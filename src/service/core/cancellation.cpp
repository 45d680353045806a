#include "service/core/cancellation.h"

#include <utility>

namespace printxpc {

CancelWatcher::Hold Cancellation::watch(std::string path) {
  std::call_once(watcherMade_, [this] { watcher_.emplace([this] { signal_.raise(); }); });
  return watcher_->watch(std::move(path));
}

}  // namespace printxpc
