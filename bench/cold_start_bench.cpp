// The first call after the service has gone (a cold start through activation) against a
// call to the running service, from one client process, in a real user session: over the
// unit's socket and over the bus by name. Each call opens what a new caller opens (a
// connection and its handshake on the socket; one method call on an open bus connection).
// Between the cold samples the unit is stopped; its socket keeps listening. Where a cold
// start's time goes is read from the manager's timestamps of each start (CLOCK_MONOTONIC,
// the clock of steady_clock here).
//   Run by scripts/bench inside tests/session/user-session, as the session's user.
#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "printxpc/builds.h"
#include "printxpc/client.h"
#include "protocol/bus_names.h"
#include "protocol/operations.h"
#include "support/bench_support.h"

namespace {

using namespace printxpc;

struct Failure {
  std::string what;
};

const BuildIdentity& build() { return *findBuild("a"); }
std::string unit() { return std::string(build().name) + ".service"; }

void stopService() {
  if (!bench::runQuietly({"systemctl", "--user", "stop", unit()})) {
    throw Failure{"systemctl --user stop " + unit() + " failed"};
  }
}

constexpr const char* kUnit = "org.freedesktop.systemd1.Unit";
constexpr const char* kService = "org.freedesktop.systemd1.Service";

// A monotonic timestamp property of the unit, in microseconds.
double unitTimestamp(sd_bus* bus, const char* interface, const char* property) {
  const std::string path = "/org/freedesktop/systemd1/unit/print_2dxpc_2dservice_2da_2eservice";
  std::uint64_t value = 0;
  sd_bus_error error{};
  const int result = sd_bus_get_property_trivial(bus, "org.freedesktop.systemd1", path.c_str(),
                                                 interface, property, &error, 't', &value);
  sd_bus_error_free(&error);
  if (result < 0) {
    throw Failure{std::string("cannot read ") + property + " of " + unit()};
  }
  return static_cast<double>(value);
}

double nowMicros() {
  return std::chrono::duration<double, std::micro>(bench::Clock::now().time_since_epoch()).count();
}

// The phases of one cold start, microseconds from the client's first step.
struct Phases {
  double toJob = 0;    // until the manager began the start (the socket or the bus woke it)
  double toExec = 0;   // until it forked the service, the sandbox set up in the child after
  double toReady = 0;  // until READY=1: the service started and serves socket and bus name
  double total = 0;    // until the client had its reply
};

struct Leg {
  std::vector<double> cold;
  std::vector<double> warm;
  std::vector<Phases> phases;
};

Leg measure(sd_bus* bus, int rounds, const std::function<void()>& call) {
  Leg leg;
  call();  // the first start of all: file caches warm for every round alike
  for (int round = 0; round < rounds; ++round) {
    // As after an idle exit, the manager has finished with the stop when the caller comes.
    // (The pause also keeps the rounds below the unit's start limit, 50 starts in 10 s.)
    stopService();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const double begin = nowMicros();
    call();
    const double end = nowMicros();
    leg.cold.push_back(end - begin);
    leg.phases.push_back({unitTimestamp(bus, kUnit, "InactiveExitTimestampMonotonic") - begin,
                          unitTimestamp(bus, kService, "ExecMainStartTimestampMonotonic") - begin,
                          unitTimestamp(bus, kUnit, "ActiveEnterTimestampMonotonic") - begin,
                          end - begin});
    const auto warm = bench::sampleMicros(5, call);
    leg.warm.insert(leg.warm.end(), warm.begin(), warm.end());
  }
  return leg;
}

void report(const char* title, const Leg& leg) {
  std::vector<double> job;
  std::vector<double> exec;
  std::vector<double> ready;
  for (const auto& phases : leg.phases) {
    job.push_back(phases.toJob);
    exec.push_back(phases.toExec);
    ready.push_back(phases.toReady);
  }
  const double cold = bench::median(leg.cold);
  const double warm = bench::median(leg.warm);
  std::printf("%s: %zu cold starts, %zu warm calls\n", title, leg.cold.size(), leg.warm.size());
  std::printf("  cold: median %8.2f ms  (min %.2f, p90 %.2f)\n", cold / 1000,
              bench::percentile(leg.cold, 0) / 1000, bench::percentile(leg.cold, 0.9) / 1000);
  std::printf("  warm: median %8.2f ms\n", warm / 1000);
  std::printf("  where a cold start goes (medians from the client's first step):\n");
  std::printf("    manager begins the start job  %7.2f ms\n", bench::median(job) / 1000);
  std::printf("    manager forks the service     %7.2f ms\n", bench::median(exec) / 1000);
  std::printf("    service ready (READY=1)       %7.2f ms\n", bench::median(ready) / 1000);
  std::printf("    client has its reply          %7.2f ms\n", cold / 1000);
  std::printf("%-58s %8.2f ms  (target <= 10 ms: %s)\n", "cold start (median)", cold / 1000,
              cold <= 10000 ? "met" : "NOT met");
}

}  // namespace

int main() {
  try {
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) {
      throw Failure{"no session bus (run inside tests/session/user-session)"};
    }
    const std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> bus(
        raw, &sd_bus_flush_close_unref);
    const auto socketPath = defaultSocketPath(build().name);
    if (!socketPath) {
      throw Failure{socketPath.error().message};
    }
    const std::string protocol = protocolName(build());
    const std::string longPath(300, 'p');  // over the 255-byte limit: no file access
    const auto selector = selectorOf(Operation::kIsFilePathWritable);
    const auto socketCall = [&] {
      auto client = ServiceClient::connect(*socketPath, protocol);
      if (!client) {
        throw Failure{"cannot connect: " + client.error().message};
      }
      const auto reply = client->call(selector, longPath);
      if (!reply || *reply != "FALSE") {
        throw Failure{"the socket call did not answer FALSE"};
      }
    };
    const std::string name = bus::busName(build());
    const std::string interface(bus::kInterface);
    const std::string path(bus::kObjectPath);
    const auto busCall = [&] {
      sd_bus_error error{};
      sd_bus_message* reply = nullptr;
      const int result =
          sd_bus_call_method(raw, name.c_str(), path.c_str(), interface.c_str(),
                             "IsFilePathWritable", &error, &reply, "s", longPath.c_str());
      sd_bus_message_unref(reply);
      sd_bus_error_free(&error);
      if (result < 0) {
        throw Failure{"the bus call failed"};
      }
    };
    report("through the socket (print-xpc-service-a.socket)", measure(raw, 30, socketCall));
    report("through the bus by name (org.printxpc.ServiceA)", measure(raw, 30, busCall));
    return 0;
  } catch (const Failure& failure) {
    std::fprintf(stderr, "cold_start_bench: %s\n", failure.what.c_str());
    return 1;
  }
}
