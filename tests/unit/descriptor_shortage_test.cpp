// What the parts that need a wake-up eventfd do when none can be made.
#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "common/event_fd.h"
#include "common/unique_fd.h"
#include "files/cancel_file.h"
#include "files/cancel_watcher.h"
#include "service/core/service_core.h"
#include "service/socket/listen_socket.h"
#include "service/socket/socket_front.h"
#include "shared/wait.h"
#include "support/temp_dir.h"

namespace printxpc {
namespace {

// Leaves the process no descriptor to open while it lives: the soft limit comes down to at
// most 1,024 and every free descriptor below it is taken.
class DescriptorsUsedUp {
 public:
  DescriptorsUsedUp() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 1024);
    ::setrlimit(RLIMIT_NOFILE, &low);
    for (UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); fd;
         fd = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC))) {
      held_.push_back(std::move(fd));
    }
  }
  ~DescriptorsUsedUp() {
    held_.clear();
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  DescriptorsUsedUp(const DescriptorsUsedUp&) = delete;
  DescriptorsUsedUp& operator=(const DescriptorsUsedUp&) = delete;

 private:
  rlimit saved_{};
  std::vector<UniqueFd> held_;
};

TEST(DescriptorShortage, EventFdReportsWhyItCouldNotBeMade) {
  const DescriptorsUsedUp shortage;
  const EventFd wakeup;
  EXPECT_FALSE(wakeup.valid());
  EXPECT_EQ(wakeup.error(), EMFILE);
  wakeup.notify();  // harmless without a descriptor
  wakeup.drain();
}

// The service refuses to start on startError(); a core run all the same stops at once rather
// than serve without hearing of stops, and a socket front that cannot be woken does not
// start, leaving no socket file behind.
TEST(DescriptorShortage, CoreAndSocketFrontWithoutWakeUpReportItAndStopAtOnce) {
  const test_support::TempDir dir;
  const std::string path = dir.file("service.sock");
  auto listening = listenAt(path);
  ASSERT_TRUE(listening) << listening.error().message;
  std::unique_ptr<ServiceCore> core;
  std::optional<Result<std::unique_ptr<SocketFront>>> front;
  {
    const DescriptorsUsedUp shortage;
    core = std::make_unique<ServiceCore>(CoreSettings{});
    front.emplace(SocketFront::start(*core, std::move(listening->socket), listening->file,
                                     ConnectionSettings{}));
  }
  EXPECT_EQ(core->startError(), EMFILE);
  ASSERT_FALSE(*front);
  EXPECT_NE(front->error().message.find("eventfd"), std::string::npos) << front->error().message;
  EXPECT_FALSE(std::filesystem::exists(path)) << "the socket file stays behind";
  EXPECT_EQ(core->run(-1).cause, ServiceCore::Outcome::Cause::kRequested);
}

// Without its eventfd (and inotify) the watcher polls: watches still fire, and it still stops.
TEST(DescriptorShortage, CancelWatcherWithoutWakeUpStillFiresAndStops) {
  const test_support::TempDir dir;
  const std::string path = dir.file("cancel");
  std::atomic<int> fired{0};
  std::unique_ptr<CancelWatcher> watcher;
  {
    const DescriptorsUsedUp shortage;
    watcher = std::make_unique<CancelWatcher>([&fired] { ++fired; });
  }
  ASSERT_TRUE(watcher->watch(path));
  ASSERT_TRUE(cancelFileWrite(path));
  EXPECT_TRUE(test_support::waitUntil([&] { return fired > 0; }));
  EXPECT_EQ(fired, 1);
  watcher.reset();  // joins the thread, which sees the stop on its poll beat
}

}  // namespace
}  // namespace printxpc
