// What the parts that need a wake-up eventfd do when none can be made.
#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "common/event_fd.h"
#include "common/unique_fd.h"
#include "files/cancel_file.h"
#include "service/listen_socket.h"
#include "service/server.h"
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

// The service refuses to start on startError(); a server run all the same stops at once
// rather than serve without hearing of stops and finished connections.
TEST(DescriptorShortage, ServerWithoutWakeUpReportsItAndStopsAtOnce) {
  const test_support::TempDir dir;
  const std::string path = dir.file("service.sock");
  auto listening = listenAt(path);
  ASSERT_TRUE(listening) << listening.error().message;
  std::unique_ptr<Server> server;
  {
    const DescriptorsUsedUp shortage;
    server = std::make_unique<Server>(
        std::move(listening->socket), listening->file, ServerSettings{}, [] {
          return RequestHandler([](Operation, std::string_view) { return std::string("reply"); });
        });
  }
  EXPECT_EQ(server->startError(), EMFILE);
  EXPECT_EQ(server->run(-1), Server::Outcome::kStopped);
  EXPECT_FALSE(std::filesystem::exists(path)) << "the socket file stays behind";
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
