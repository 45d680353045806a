// Small helpers shared by the benchmark programs: timing, medians, and a service process.
#pragma once

#include <signal.h>
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
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
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
    if (auto* failure = std::get_if<TransportFailure>(&client)) {
      std::fprintf(stderr, "cannot connect to the service: %s\n", failure->message.c_str());
      std::exit(1);
    }
    return std::move(std::get<ServiceClient>(client));
  }
  pid_t pid() const { return pid_; }
  const std::string& socketPath() const { return socket_; }

 private:
  std::string dir_;
  std::string socket_;
  std::string protocol_;
  pid_t pid_ = -1;
};

inline void printRatio(const char* what, double value, double baseline, double target,
                       bool lowerIsBetter = true) {
  const double ratio = value / baseline;
  const bool met = lowerIsBetter ? ratio <= target : ratio >= target;
  std::printf("%-58s %8.2fx  (target %s %.2fx: %s)\n", what, ratio, lowerIsBetter ? "<=" : ">=",
              target, met ? "met" : "NOT met");
}

}  // namespace printxpc::bench
