// The service process under hostile conditions that would end it or make it spin: hangups,
// terminals as paths, and running out of threads or descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "protocol/requests.h"
#include "protocol/transport.h"
#include "protocol/wire.h"
#include "shared/wait.h"
#include "support/process.h"
#include "support/service_fixture.h"
#include "support/test_support.h"

namespace printxpc::test_support {
namespace {

using namespace std::chrono_literals;

// A uid that no account uses: the thread limit counts every process of the user.
constexpr uid_t kLimitedUid = 64711;

// A client on a raw socket whose reads give up after a guard time, so that a service that
// never answers fails the test instead of hanging it.
class GuardedClient {
 public:
  GuardedClient(const std::string& path, const std::string& protocol)
      : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const timeval guard{20, 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof(guard));
    if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
      // A refusal may come and the connection close before the hello is sent: read anyway.
      (void)transport::sendFrame(fd_.get(), wire::FrameKind::kHello, protocol);
      answer_ = nextFrame();
    }
  }
  // "welcome", "error <code>", or what went wrong.
  const std::string& answer() const { return answer_; }
  std::string call(std::string_view selector, std::string_view request) {
    if (!transport::sendFrame(fd_.get(), wire::FrameKind::kRequest,
                              wire::encodeRequestPayload(selector, request))) {
      return "send failed";
    }
    return nextFrame();
  }

 private:
  std::string nextFrame() {
    wire::Frame frame;
    if (reader_.next(frame) != wire::ReadStatus::kFrame) {
      return "no answer";
    }
    if (frame.kind == wire::FrameKind::kWelcome) {
      return "welcome";
    }
    if (frame.kind == wire::FrameKind::kReply) {
      return "reply";
    }
    const auto error = wire::parseErrorPayload(frame.payload);
    return "error " + std::to_string(error ? error->code : 0);
  }

  UniqueFd fd_;
  transport::FdSource source_{fd_.get()};
  wire::FrameReader reader_{source_};
  std::string answer_ = "cannot connect";
};

const std::string kBusy = "error " + std::to_string(static_cast<int>(wire::TransportError::kBusy));

// The scheduler state of the process's main thread (R running, S sleeping, ...).
char mainThreadState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto end = line.rfind(')');
  return end == std::string::npos || end + 2 >= line.size() ? '?' : line[end + 2];
}

// One request on a connection of its own; any failure is returned as text.
std::string callOnce(const RunningService& service, std::string_view selector,
                     std::string_view request) {
  auto client = service.tryConnect();
  if (!client) {
    return "transport error: " + client.error().message;
  }
  return RunningService::replyOf(client->call(selector, request));
}

// Starts the service as the session leader, as `setsid` and some supervisors do: a
// terminal that it opens without care becomes its controlling terminal.
std::vector<std::string> asSessionLeader(const std::string& /*dir*/,
                                         std::vector<std::string> argv) {
  argv.insert(argv.begin(), "setsid");
  return argv;
}

std::vector<std::string> asLimitedUser(const std::string& dir, std::vector<std::string> argv) {
  if (::chown(dir.c_str(), kLimitedUid, kLimitedUid) != 0) {
    ADD_FAILURE() << "cannot hand " << dir << " to the test user";
  }
  const std::string id = std::to_string(kLimitedUid);
  argv.insert(argv.begin(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--"});
  return argv;
}

// A fresh pseudo-terminal: no session's controlling terminal. Holds the master side.
class FreshTerminal {
 public:
  FreshTerminal() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master_ && ::grantpt(master_.get()) == 0 && ::unlockpt(master_.get()) == 0) {
      path_ = ::ptsname(master_.get());
    }
  }
  const std::string& path() const { return path_; }
  void close() { master_.reset(); }

 private:
  UniqueFd master_;
  std::string path_;
};

// A hangup, or a terminal named as a path, leaves the service serving.
TEST(ServiceHangup, TerminalsAndHangupsDoNotEndTheService) {
  struct Case {
    const char* name;
    std::string_view selector;  // empty: SIGHUP is sent to the service instead
    std::function<std::string(std::string_view path)> request;
  };
  const auto verbatim = [](std::string_view path) { return std::string(path); };
  const Case cases[] = {
      {"SIGHUP", {}, verbatim},
      {"terminal as the writability probe's path", kWritable, verbatim},
      {"terminal as the cancel write's file", kCancel, requests::buildCancelWrite},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunningService service("a", asSessionLeader);
    if (c.selector.empty()) {
      service.process().signal(SIGHUP);
    } else {
      FreshTerminal terminal;
      ASSERT_FALSE(terminal.path().empty());
      const std::string reply = callOnce(service, c.selector, c.request(terminal.path()));
      EXPECT_EQ(reply.find("transport error"), std::string::npos) << reply;
      terminal.close();  // a hangup of the terminal, if the service had taken it
    }
    EXPECT_EQ(callOnce(service, kWritable, service.dir() + "/after"), "TRUE");
    service.process().signal(SIGTERM);
    EXPECT_EQ(service.process().wait(15s), 0);  // not 128 + SIGHUP
  }
}

// Out of threads or descriptors, the service answers the clients that it cannot take
// "busy", goes on serving the others, sleeps instead of spinning, and takes clients again
// once one has left.
TEST(ServiceLimits, ExhaustedThreadsOrDescriptorsAnswerBusy) {
  struct Case {
    const char* name;
    const char* option;  // of prlimit(1)
    // The limit, given what the service holds when idle; a few clients fit below it.
    std::function<int(const ResourceUse&)> limit;
  };
  const Case cases[] = {
      {"threads", "--nproc", [](const ResourceUse& idle) { return idle.threads + 2; }},
      {"descriptors", "--nofile", [](const ResourceUse& idle) { return idle.descriptors + 2; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunningService service("a", asLimitedUser);
    const pid_t pid = service.pid();
    const std::string protocol = protocolName(*findBuild("a"));
    int withOne = 0;
    {
      GuardedClient first(service.socketPath(), protocol);
      ASSERT_EQ(first.answer(), "welcome");
      withOne = threadCount(pid);
    }
    // Its thread gone, the service is idle (a sanitizer may keep a thread of its own).
    ASSERT_TRUE(waitUntil([&] { return threadCount(pid) < withOne; }, 5s));
    // As the service's own user: changing another user's limits takes a capability that
    // the test may not have.
    const std::string value = std::to_string(c.limit(resourceUse(pid)));
    const auto lowered = runCommand(asLimitedUser(
        service.dir(), {"prlimit", "--pid", std::to_string(pid), c.option + ("=" + value)}));
    ASSERT_EQ(lowered.exitCode, 0) << lowered.err;

    std::vector<std::unique_ptr<GuardedClient>> admitted;
    std::string refusal;
    for (int i = 0; i < 64 && refusal.empty(); ++i) {
      auto client = std::make_unique<GuardedClient>(service.socketPath(), protocol);
      if (client->answer() == "welcome") {
        admitted.push_back(std::move(client));
      } else {
        refusal = client->answer();
      }
    }
    EXPECT_EQ(refusal, kBusy);
    ASSERT_FALSE(admitted.empty());
    EXPECT_EQ(GuardedClient(service.socketPath(), protocol).answer(), kBusy);  // and the next
    EXPECT_TRUE(waitUntil([&] { return mainThreadState(pid) == 'S'; }, 5s))
        << "the service's main thread keeps running: " << mainThreadState(pid);
    EXPECT_EQ(admitted.front()->call(kWritable, service.dir() + "/x"), "reply");

    admitted.pop_back();  // one leaves: its place is free again
    EXPECT_TRUE(waitUntil(
        [&] {
          GuardedClient next(service.socketPath(), protocol);
          return next.answer() == "welcome" && next.call(kWritable, "/nonexistent/x") == "reply";
        },
        10s));
    EXPECT_TRUE(service.process().running());
  }
}

}  // namespace
}  // namespace printxpc::test_support
