// Small helpers shared by the benchmark programs: timing, medians, a service process, a raw
// Unix-socket echo and a private snmpd.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "printxpc/builds.h"
#include "printxpc/client.h"
#include "protocol/transport.h"

extern char** environ;

namespace printxpc::bench {

using Clock = std::chrono::steady_clock;

inline double median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1,
                         static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

// Pins the calling process, and so every child it starts afterwards, to the last CPU that it
// may use, and returns that CPU (-1 when it cannot). With every process of a round trip on
// one CPU each hand-over is a plain context switch: which processes the scheduler happens to
// spread over which CPUs otherwise moves a run's medians by 20%.
inline int pinToOneCpu() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
    return -1;
  }
  for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
    if (CPU_ISSET(cpu, &allowed)) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      return ::sched_setaffinity(0, sizeof(one), &one) == 0 ? cpu : -1;
    }
  }
  return -1;
}

// Microseconds per call of `body`, one sample per call.
inline std::vector<double> sampleMicros(int count, const std::function<void()>& body) {
  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const auto begin = Clock::now();
    body();
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
  }
  return samples;
}

// Samples each call in turn, `blocks` blocks of `perBlock` calls, after `warmUp` calls of
// each: alternating blocks let every call see the same machine load. The samples of each call,
// in the order the calls are given.
inline std::vector<std::vector<double>> sampleAlternating(
    int warmUp, int blocks, int perBlock, const std::vector<std::function<void()>>& calls) {
  for (const auto& call : calls) {
    sampleMicros(warmUp, call);
  }
  std::vector<std::vector<double>> samples(calls.size());
  for (int block = 0; block < blocks; ++block) {
    for (std::size_t i = 0; i < calls.size(); ++i) {
      const auto taken = sampleMicros(perBlock, calls[i]);
      samples[i].insert(samples[i].end(), taken.begin(), taken.end());
    }
  }
  return samples;
}

// A service build running as a child process on a private socket.
class ServiceProcess {
 public:
  explicit ServiceProcess(const std::string& buildId = "a") {
    char pattern[] = "/tmp/printxpc-bench-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    socket_ = dir_ + "/service.sock";
    const std::string binary =
        std::string(PRINTXPC_BINARY_DIR) + "/src/service/print-xpc-service-" + buildId;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl(binary.c_str(), binary.c_str(), "--listen", socket_.c_str(), nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 500 && !std::filesystem::exists(socket_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    protocol_ = protocolName(*findBuild(buildId));
  }
  ~ServiceProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  ServiceClient connect() const {
    auto client = ServiceClient::connect(socket_, protocol_);
    if (!client) {
      std::fprintf(stderr, "cannot connect to the service: %s\n", client.error().message.c_str());
      std::exit(1);
    }
    return std::move(client).value();
  }
  pid_t pid() const { return pid_; }
  const std::string& socketPath() const { return socket_; }

 private:
  std::string dir_;
  std::string socket_;
  std::string protocol_;
  pid_t pid_ = -1;
};

// A child process that answers every `requestSize` bytes with `replySize` bytes: the least
// that one request and its reply over a Unix stream socket to another process cost.
class RawEchoProcess {
 public:
  RawEchoProcess(std::size_t requestSize, std::size_t replySize) {
    int pair[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(pair[0]);
      std::string in(requestSize, '\0');
      const std::string out(replySize, 'r');
      for (;;) {
        std::size_t got = 0;
        while (got < requestSize) {
          const ssize_t n = ::recv(pair[1], in.data() + got, requestSize - got, 0);
          if (n <= 0) {
            ::_exit(0);
          }
          got += static_cast<std::size_t>(n);
        }
        if (!transport::sendAll(pair[1], out)) {
          ::_exit(0);  // the benchmark has gone
        }
      }
    }
    ::close(pair[1]);
    fd_ = pair[0];
  }
  ~RawEchoProcess() {
    ::close(fd_);
    ::waitpid(pid_, nullptr, 0);
  }
  RawEchoProcess(const RawEchoProcess&) = delete;
  RawEchoProcess& operator=(const RawEchoProcess&) = delete;

  // `reply` is sized to the reply and receives it.
  void roundTrip(const std::string& request, std::string& reply) const {
    if (!transport::sendAll(fd_, request)) {
      std::exit(1);
    }
    std::size_t got = 0;
    while (got < reply.size()) {
      const ssize_t n = ::recv(fd_, reply.data() + got, reply.size() - got, 0);
      if (n <= 0) {
        std::exit(1);
      }
      got += static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_ = -1;
  pid_t pid_ = -1;
};

// Runs a program (looked up on PATH) with its output discarded and `extraEnv`
// ("NAME=value") added to the environment; true when it exits with status 0.
inline bool runQuietly(const std::vector<std::string>& argv,
                       const std::vector<std::string>& extraEnv = {}) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const auto& entry : extraEnv) env.push_back(const_cast<char*>(entry.c_str()));
  for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  return spawned == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// net-snmp's snmpd on udp:<address>:161 with a private configuration (community "public",
// the given sysDescr) and state directory, stopped when this object goes. Only inside a
// private network namespace may it bind port 161 of a loopback address.
class SnmpdProcess {
 public:
  SnmpdProcess(const std::string& address, const std::string& sysDescr) {
    char pattern[] = "/tmp/printxpc-bench-snmpd-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    const std::string conf = dir_ + "/snmpd.conf";
    if (FILE* out = std::fopen(conf.c_str(), "w")) {
      std::fprintf(out, "rocommunity public 127.0.0.0/8\nsysDescr %s\n", sysDescr.c_str());
      std::fclose(out);
    }
    const std::string persist = "SNMP_PERSISTENT_DIR=" + persistentDir();
    const std::string pidFile = dir_ + "/snmpd.pid";
    const std::string endpoint = "udp:" + address + ":161";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::putenv(const_cast<char*>(persist.c_str()));
      ::putenv(const_cast<char*>("MIBS="));
      // The address is given on the command line only, not in the configuration.
      ::execl("/usr/sbin/snmpd", "snmpd", "-f", "-Lf", "/dev/null", "-C", "-c", conf.c_str(), "-p",
              pidFile.c_str(), endpoint.c_str(), nullptr);
      ::_exit(127);
    }
  }
  ~SnmpdProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  SnmpdProcess(const SnmpdProcess&) = delete;
  SnmpdProcess& operator=(const SnmpdProcess&) = delete;

  // A state directory of its own for net-snmp tools run against this agent.
  std::string persistentDir() const { return dir_ + "/persist"; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

inline void printRatio(const char* what, double value, double baseline, double target,
                       bool lowerIsBetter = true) {
  const double ratio = value / baseline;
  const bool met = lowerIsBetter ? ratio <= target : ratio >= target;
  std::printf("%-58s %8.2fx  (target %s %.2fx: %s)\n", what, ratio,
              lowerIsBetter ? "<=" : ">=", target, met ? "met" : "NOT met");
}

}  // namespace printxpc::bench
