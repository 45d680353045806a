// Echo probe round trip to 127.0.0.1: through the service, by the plain function in process,
// by a bare ICMP datagram-socket echo in process, and by iputils ping, measured in one run.
// Needs unprivileged ICMP sockets: run it inside tests/netns-run (scripts/bench does).
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "probes/icmp_echo.h"
#include "protocol/operations.h"
#include "protocol/requests.h"
#include "support/bench_support.h"

extern char** environ;

namespace {

using namespace printxpc;

constexpr std::int64_t kTimeoutMs = 1000;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "icmp_echo_bench: %s\n", what);
  std::exit(1);
}

// The least an echo to loopback costs: one socket, one send, one wait, one read.
bool bareEcho() {
  const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
  if (!socket) {
    return false;
  }
  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const EchoRequestBytes request = buildEchoRequest();
  if (::sendto(socket.get(), request.data(), request.size(), 0,
               reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback) <= 0) {
    return false;
  }
  pollfd ready{socket.get(), POLLIN, 0};
  std::array<std::uint8_t, 2000> reply{};
  return ::poll(&ready, 1, kTimeoutMs) == 1 &&
         ::recv(socket.get(), reply.data(), reply.size(), 0) > 0 && reply[0] == 0;
}

// One `ping -c 1 -W 1 127.0.0.1`, its output discarded.
bool iputilsPing() {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  char program[] = "ping";
  char count[] = "-c";
  char one[] = "1";
  char wait[] = "-W";
  char address[] = "127.0.0.1";
  char* argv[] = {program, count, one, wait, one, address, nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  return spawned == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

struct Leg {
  const char* label;
  int perBlock;
  std::function<void()> call;
};

}  // namespace

int main() {
  if (!bareEcho()) {
    fail(
        "no ICMP echo from 127.0.0.1 (unprivileged ICMP sockets need the group in "
        "net.ipv4.ping_group_range; run through tests/netns-run)");
  }
  if (!iputilsPing()) {
    fail("`ping -c 1 -W 1 127.0.0.1` failed (is iputils-ping installed?)");
  }

  bench::ServiceProcess service;
  auto client = service.connect();
  const auto selector = selectorOf(Operation::kSendEchoAndRecvReply);
  const std::string request = requests::buildEcho("127.0.0.1", kTimeoutMs);

  std::array<Leg, 4> legs{{
      {"service (sendEchoAndRecvReply_XPC, 127.0.0.1)", 200,
       [&] {
         const auto reply = client.call(selector, request);
         if (!reply || *reply != "TRUE") fail("the service did not answer TRUE");
       }},
      {"plain function sendEchoAndRecvReply, in process", 200,
       [] {
         if (!sendEchoAndRecvReply("127.0.0.1", kTimeoutMs)) fail("the probe answered false");
       }},
      {"bare ICMP datagram-socket echo, in process", 200,
       [] {
         if (!bareEcho()) fail("the bare echo got no reply");
       }},
      {"iputils ping -c 1 -W 1 127.0.0.1, one process per call", 20,
       [] {
         if (!iputilsPing()) fail("ping failed");
       }},
  }};

  // Warm up, then alternate blocks so that every leg sees the same machine load.
  for (const auto& leg : legs) bench::sampleMicros(leg.perBlock, leg.call);
  std::array<std::vector<double>, legs.size()> samples;
  for (int block = 0; block < 10; ++block) {
    for (std::size_t i = 0; i < legs.size(); ++i) {
      const auto blockSamples = bench::sampleMicros(legs[i].perBlock, legs[i].call);
      samples[i].insert(samples[i].end(), blockSamples.begin(), blockSamples.end());
    }
  }

  std::printf("ICMP echo round trip to 127.0.0.1 (timeout %lld ms)\n",
              static_cast<long long>(kTimeoutMs));
  for (std::size_t i = 0; i < legs.size(); ++i) {
    std::printf("  %-56s median %8.2f us  p99 %8.2f us  (%zu calls)\n", legs[i].label,
                bench::median(samples[i]), bench::percentile(samples[i], 0.99), samples[i].size());
  }
  const double serviceMedian = bench::median(samples[0]);
  // Spawning ping costs far more than the probe: show how many times faster the service is.
  bench::printRatio("iputils ping / service (median)", bench::median(samples[3]), serviceMedian,
                    10.0, false);
  bench::printRatio("service / bare in-process echo (median)", serviceMedian,
                    bench::median(samples[2]), 4.0);
  bench::printRatio("plain function / bare in-process echo (median)", bench::median(samples[1]),
                    bench::median(samples[2]), 1.2);
  return 0;
}
