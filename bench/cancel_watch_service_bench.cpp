// The cost of the service's cancel watches: after 30,000 completed GETs that asked for
// cancellation, half of them through distinct spellings of one cancel file ("d//s/./c") and
// half through files in directories removed after their GET, the service's threads, resident
// memory and CPU use while nothing happens, against the same figures before the GETs; then how
// soon a cancel write ends a GET waiting on a silent printer. Binds port 161 of 127.0.0.2 and
// 127.0.0.3: run it inside tests/netns-run (scripts/bench does).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "protocol/operations.h"
#include "protocol/requests.h"
#include "support/bench_support.h"

namespace {

using namespace printxpc;
using namespace std::chrono_literals;

constexpr int kSpellings = 15000;
constexpr int kRemovedDirectories = 15000;
constexpr int kConnections = 4;
constexpr int kTrials = 100;
constexpr auto kIdle = 3s;
constexpr char kAnswering[] = "127.0.0.2";
constexpr char kSilent[] = "127.0.0.3";
constexpr char kOid[] = "1.3.6.1.2.1.1.1.0";
// A GET's value NULL with text expected: an empty text.
constexpr char kAnsweredReply[] = "TRUE:uResult.string=";
constexpr char kCancelledReply[] = "FALSE:rtn_ExitValue=-1";

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "cancel_watch_service_bench: %s\n", what.c_str());
  std::exit(1);
}

// Skips the element header at `at` (tag, then a short or 0x81/0x82 long-form length); false
// when it runs past the end.
bool skipHeader(std::span<const std::uint8_t> bytes, std::size_t& at, std::size_t& length) {
  if (bytes.size() < at + 2) {
    return false;
  }
  const std::uint8_t first = bytes[at + 1];
  at += 2;
  length = first;
  if (first == 0x81 || first == 0x82) {
    const std::size_t count = first & 0x7FU;
    if (bytes.size() < at + count) {
      return false;
    }
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | bytes[at++];
  }
  return true;
}

// Where the PDU tag of a GetRequest stands: after the message header, the version and the
// community. Absent when the bytes do not get that far.
std::optional<std::size_t> pduTagIndex(std::span<const std::uint8_t> datagram) {
  std::size_t at = 0;
  std::size_t length = 0;
  if (!skipHeader(datagram, at, length)) {
    return std::nullopt;
  }
  for (int element = 0; element < 2; ++element) {
    if (!skipHeader(datagram, at, length)) {
      return std::nullopt;
    }
    at += length;
  }
  return at < datagram.size() ? std::optional(at) : std::nullopt;
}

// A printer on address:161. Answering, it sends every GetRequest back as a GetResponse (the
// PDU tag changed from 0xA0 to 0xA2: same request id, the value NULL); silent, it only
// counts the requests.
class Printer {
 public:
  Printer(const char* address, bool answers)
      : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)),
        stop_(::eventfd(0, EFD_CLOEXEC)),
        answers_(answers) {
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(161);
    ::inet_pton(AF_INET, address, &bound.sin_addr);
    if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&bound), sizeof(bound)) != 0) {
      fail(std::string("cannot bind ") + address + ":161 (run through tests/netns-run, as root)");
    }
    thread_ = std::thread([this] { run(); });
  }
  ~Printer() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(stop_.get(), &one, sizeof(one));
    thread_.join();
  }
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;

  int requests() {
    const std::lock_guard lock(mutex_);
    return requests_;
  }
  // Waits until more than `seen` requests have come; false after the bound.
  bool waitForMore(int seen, std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, bound, [&] { return requests_ > seen; });
  }

 private:
  void run() {
    std::array<std::uint8_t, 2000> buffer{};
    for (;;) {
      pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0) {
        return;
      }
      sockaddr_in from{};
      socklen_t fromLength = sizeof(from);
      const ssize_t got = ::recvfrom(socket_.get(), buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (got <= 0) {
        continue;
      }
      const std::span<std::uint8_t> datagram(buffer.data(), static_cast<std::size_t>(got));
      const auto pdu = pduTagIndex(datagram);
      if (answers_ && pdu && datagram[*pdu] == 0xA0) {
        datagram[*pdu] = 0xA2;
        ::sendto(socket_.get(), datagram.data(), datagram.size(), 0,
                 reinterpret_cast<const sockaddr*>(&from), fromLength);
      }
      {
        const std::lock_guard lock(mutex_);
        ++requests_;
      }
      arrived_.notify_all();
    }
  }

  UniqueFd socket_;
  UniqueFd stop_;
  bool answers_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  int requests_ = 0;
  std::thread thread_;
};

// A number field of /proc/<pid>/status ("Threads:", "VmRSS:" in KiB).
long statusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) {
      return std::stol(line.substr(field.size()));
    }
  }
  return -1;
}

int threadsOf(pid_t pid) { return static_cast<int>(statusField(pid, "Threads:")); }

double residentMiB(pid_t pid) { return static_cast<double>(statusField(pid, "VmRSS:")) / 1024; }

// CPU time of the process's threads now alive, in nanoseconds as the scheduler counts it
// (the tick-based times of /proc/<pid>/stat would need minutes to resolve 1%).
double cpuSecondsOf(pid_t pid) {
  double nanoseconds = 0;
  std::error_code error;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream in(task.path() / "schedstat");
    double onCpu = 0;
    if (!(in >> onCpu)) {
      fail("cannot read the CPU time of a service thread");
    }
    nanoseconds += onCpu;
  }
  if (error) {
    fail("cannot list the service's threads");
  }
  return nanoseconds / 1e9;
}

// The thread count once it has not changed for 100 ms (connection threads end after their
// client has gone).
int settledThreadsOf(pid_t pid) {
  int last = threadsOf(pid);
  for (int round = 0; round < 50; ++round) {
    std::this_thread::sleep_for(100ms);
    const int now = threadsOf(pid);
    if (now == last) {
      return now;
    }
    last = now;
  }
  return last;
}

// The share of one core that the process uses while nothing is asked of it.
double idleCpuShare(pid_t pid) {
  const double before = cpuSecondsOf(pid);
  const auto start = bench::Clock::now();
  std::this_thread::sleep_for(kIdle);
  const double wall = std::chrono::duration<double>(bench::Clock::now() - start).count();
  return (cpuSecondsOf(pid) - before) / wall;
}

std::string getRequest(const std::string& host, const std::string& cancelFile,
                       std::int32_t timeoutMs) {
  requests::SnmpGetFields fields;
  fields.iType = 4;
  fields.cancelFlag = 0;
  fields.cancelFileName = cancelFile;
  fields.timeoutMs = timeoutMs;
  fields.retries = 3;
  fields.args = requests::snmpGetArgs("public", host, kOid);
  return requests::buildSnmpGet(fields);
}

std::string call(ServiceClient& client, Operation operation, const std::string& request) {
  auto reply = client.call(selectorOf(operation), request);
  if (reply) {
    return std::move(reply).value();
  }
  fail("transport failure: " + reply.error().message);
}

struct Latencies {
  std::vector<double> ms;
  void print(const char* what) const {
    std::printf("  %-63s p50 %6.2f ms  p90 %6.2f ms  p99 %6.2f ms (target p99 <= 50 ms: %s)\n",
                what, bench::median(ms), bench::percentile(ms, 0.9), bench::percentile(ms, 0.99),
                bench::percentile(ms, 0.99) <= 50 ? "met" : "NOT met");
  }
};

// A GET waits on the silent printer with a long timeout, watching `getFile`; a cancel write to
// `cancelFile` on another connection must end it. The time from just before the cancel
// write until the GET's reply.
double cancelTrial(const bench::ServiceProcess& service, Printer& silent,
                   const std::string& getFile, const std::string& cancelFile) {
  auto getter = service.connect();
  auto canceller = service.connect();
  const int seen = silent.requests();
  auto pending = std::async(std::launch::async, [&] {
    return call(getter, Operation::kPdeSnmpGet, getRequest(kSilent, getFile, 10000));
  });
  if (!silent.waitForMore(seen, 2s)) {
    fail("the GET did not reach the silent printer");
  }
  std::this_thread::sleep_for(2ms);  // from its send into its wait
  const auto start = bench::Clock::now();
  if (call(canceller, Operation::kCancelFileWrite, requests::buildCancelWrite(cancelFile)) !=
      "TRUE") {
    fail("the cancel write failed on " + cancelFile);
  }
  if (pending.wait_for(5s) != std::future_status::ready) {
    fail("the cancel did not end the GET within 5 s");
  }
  const std::string reply = pending.get();
  const double ms = std::chrono::duration<double, std::milli>(bench::Clock::now() - start).count();
  if (reply != kCancelledReply) {
    fail("the cancelled GET answered " + reply);
  }
  return ms;
}

// A distinct spelling of "<dir>/s/c" for each number: its bits as "//" or "/./" steps.
std::string spellingOf(const std::filesystem::path& dir, int i) {
  std::string path = dir.string();
  for (int bit = 0; bit < 15; ++bit) {
    path += ((i >> bit) & 1) != 0 ? "/." : "/";
  }
  return path + "/s/c";
}

// Runs `count` GETs on parallel connections; GET i asks for cancellation through fileOf(i),
// after prepare(i), and then finish(i) runs.
void runGets(const bench::ServiceProcess& service, int count,
             const std::function<std::string(int)>& fileOf, const std::function<void(int)>& prepare,
             const std::function<void(int)>& finish) {
  std::vector<std::thread> clients;
  clients.reserve(kConnections);
  for (int c = 0; c < kConnections; ++c) {
    clients.emplace_back([&, c] {
      auto client = service.connect();
      for (int i = c; i < count; i += kConnections) {
        prepare(i);
        const std::string reply =
            call(client, Operation::kPdeSnmpGet, getRequest(kAnswering, fileOf(i), 1000));
        if (reply != kAnsweredReply) {
          fail("GET " + std::to_string(i) + " answered " + reply);
        }
        finish(i);
      }
    });
  }
  for (auto& client : clients) client.join();
}

}  // namespace

int main() {
  char pattern[] = "/tmp/printxpc-watch-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    fail("no temporary directory");
  }
  const std::filesystem::path dir(pattern);
  std::filesystem::create_directory(dir / "s");
  const auto goneOf = [&](int i) { return dir / ("gone-" + std::to_string(i)); };

  Printer answering(kAnswering, true);
  Printer silent(kSilent, false);
  bench::ServiceProcess service;
  const pid_t pid = service.pid();
  {
    // One GET with a cancel file starts the watcher thread: idle is measured with it.
    auto client = service.connect();
    call(client, Operation::kPdeSnmpGet, getRequest(kAnswering, (dir / "warm-up").string(), 1000));
  }
  const int threadsIdle = settledThreadsOf(pid);
  const double residentIdle = residentMiB(pid);
  const double idleShareBefore = idleCpuShare(pid);

  // Files in directories that are removed after their GET, then distinct spellings of one file;
  // none is cancelled, so every watch stays armed.
  const auto getsStart = bench::Clock::now();
  runGets(
      service, kRemovedDirectories, [&](int i) { return (goneOf(i) / "c").string(); },
      [&](int i) { std::filesystem::create_directory(goneOf(i)); },
      [&](int i) { std::filesystem::remove_all(goneOf(i)); });
  runGets(
      service, kSpellings, [&](int i) { return spellingOf(dir, i); }, [](int) {}, [](int) {});
  const double getsSeconds = std::chrono::duration<double>(bench::Clock::now() - getsStart).count();
  const int threadsAfter = settledThreadsOf(pid);
  const double residentAfter = residentMiB(pid);
  const double idleShare = idleCpuShare(pid);
  const double residentGrowth = residentAfter - residentIdle;
  std::printf(
      "service cancel watches: %d GETs (cancelFlag 0) on %d connections in %.2f s, %.0f GETs/s: "
      "%d with a file in a directory removed afterwards, %d with distinct spellings of one file\n",
      kRemovedDirectories + kSpellings, kConnections, getsSeconds,
      (kRemovedDirectories + kSpellings) / getsSeconds, kRemovedDirectories, kSpellings);
  std::printf("  threads: %d idle, %d after the GETs (target <= +0: %s)\n", threadsIdle,
              threadsAfter, threadsAfter <= threadsIdle ? "met" : "NOT met");
  std::printf(
      "  resident memory: %.1f MiB idle, %.1f MiB after the GETs, +%.1f MiB (target < "
      "+16 MiB: %s)\n",
      residentIdle, residentAfter, residentGrowth, residentGrowth < 16 ? "met" : "NOT met");
  std::printf(
      "  idle CPU over %.0f s: %.3f%% of one core before the GETs, %.3f%% after them "
      "(target < 1%%: %s)\n",
      std::chrono::duration<double>(kIdle).count(), idleShareBefore * 100, idleShare * 100,
      idleShare < 0.01 ? "met" : "NOT met");
  std::fflush(stdout);

  // The GET's own cancel file, fresh for each trial.
  Latencies ownFile;
  for (int trial = 0; trial < kTrials; ++trial) {
    const std::string path = (dir / ("own-" + std::to_string(trial))).string();
    ownFile.ms.push_back(cancelTrial(service, silent, path, path));
  }
  // The GET watches a fresh file; the cancel goes to a spelling of the file that 15,000 earlier
  // GETs armed, whose watch alone raises the flag (armed once more before each trial, since
  // a watch ends when it fires).
  Latencies oldWatch;
  auto armer = service.connect();
  for (int trial = 0; trial < kTrials; ++trial) {
    if (trial > 0) {
      call(armer, Operation::kPdeSnmpGet, getRequest(kAnswering, spellingOf(dir, trial), 1000));
    }
    const std::string fresh = (dir / ("fresh-" + std::to_string(trial))).string();
    oldWatch.ms.push_back(cancelTrial(service, silent, fresh, spellingOf(dir, trial + 7)));
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);

  std::printf("  cancel write -> reply of a GET waiting on a silent printer, %d trials each:\n",
              kTrials);
  ownFile.print("cancel on the GET's own file");
  oldWatch.print("cancel on a spelling of the file that 15,000 GETs armed");
  return 0;
}
