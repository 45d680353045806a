// Round trip of a trivial operation over a private session bus, against the bus's own floor:
// org.freedesktop.DBus.Peer.Ping answered by the same service on the same bus. The same
// operation over the socket is printed beside them.
#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "protocol/bus_names.h"
#include "protocol/operations.h"
#include "support/bench_support.h"

namespace {

using namespace printxpc;

// dbus-daemon with a private configuration and socket, stopped when this object goes.
class PrivateBusDaemon {
 public:
  explicit PrivateBusDaemon(const std::string& dir) : socket_(dir + "/bus") {
    const std::string conf = dir + "/bus.conf";
    std::ofstream(conf) << "<busconfig><type>session</type><listen>unix:path=" << socket_
                        << "</listen><policy context=\"default\"><allow send_destination=\"*\"/>"
                           "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy>"
                           "</busconfig>\n";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execlp("dbus-daemon", "dbus-daemon", "--nofork", "--nopidfile",
               ("--config-file=" + conf).c_str(), nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 500 && !std::filesystem::exists(socket_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~PrivateBusDaemon() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  PrivateBusDaemon(const PrivateBusDaemon&) = delete;
  PrivateBusDaemon& operator=(const PrivateBusDaemon&) = delete;

  std::string address() const { return "unix:path=" + socket_; }

 private:
  std::string socket_;
  pid_t pid_ = -1;
};

// Thrown on any failed call, so that the processes started are stopped on the way out.
struct Failure {
  std::string what;
};

[[noreturn]] void fail(const std::string& what, int error) {
  throw Failure{what + ": " + std::strerror(-error)};
}

sd_bus* connect(const std::string& address) {
  sd_bus* bus = nullptr;
  int result = sd_bus_new(&bus);
  if (result >= 0) result = sd_bus_set_address(bus, address.c_str());
  if (result >= 0) result = sd_bus_set_bus_client(bus, 1);
  if (result >= 0) result = sd_bus_start(bus);
  if (result < 0) fail("cannot connect to the private bus", result);
  return bus;
}

// One call with `signature`/`argument` (or none); exits on any error.
void call(sd_bus* bus, const char* destination, const char* interface, const char* method,
          const char* argument) {
  sd_bus_error error{};
  sd_bus_message* reply = nullptr;
  const int result =
      argument != nullptr
          ? sd_bus_call_method(bus, destination, std::string(bus::kObjectPath).c_str(), interface,
                               method, &error, &reply, "s", argument)
          : sd_bus_call_method(bus, destination, std::string(bus::kObjectPath).c_str(), interface,
                               method, &error, &reply, "");
  sd_bus_message_unref(reply);
  if (result < 0) {
    const std::string message = error.message != nullptr ? error.message : "";
    sd_bus_error_free(&error);
    throw Failure{std::string(method) + ": " + message};
  }
}

}  // namespace

// One run with a bus daemon and a service of its own; `title` says where they run.
void measure(const char* title, double target) {
  char pattern[] = "/tmp/printxpc-bench-bus-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  PrivateBusDaemon daemon(dir);
  // The service started next finds the private bus through its environment.
  ::setenv("DBUS_SESSION_BUS_ADDRESS", daemon.address().c_str(), 1);
  bench::ServiceProcess service;
  auto client = service.connect();
  const std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> connection(
      connect(daemon.address()), &sd_bus_flush_close_unref);
  sd_bus* bus = connection.get();
  const std::string name = bus::busName(*findBuild("a"));
  for (int i = 0; i < 500; ++i) {
    if (sd_bus_call_method(bus, name.c_str(), std::string(bus::kObjectPath).c_str(),
                           "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr, "") >= 0) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  const std::string longPath(300, 'p');  // over the 255-byte limit: answered without file access
  const std::string interface(bus::kInterface);
  const auto selector = selectorOf(Operation::kIsFilePathWritable);
  const auto busCall = [&] {
    call(bus, name.c_str(), interface.c_str(), "IsFilePathWritable", longPath.c_str());
  };
  const auto pingCall = [&] {
    call(bus, name.c_str(), "org.freedesktop.DBus.Peer", "Ping", nullptr);
  };
  const auto socketCall = [&] {
    if (client.call(selector, longPath).value() != "FALSE") {
      throw Failure{"the socket call did not answer FALSE"};
    }
  };

  const auto samples = bench::sampleAlternating(1000, 20, 500, {busCall, pingCall, socketCall});
  const auto& busSamples = samples[0];
  const auto& pingSamples = samples[1];
  const auto& socketSamples = samples[2];
  const double busMedian = bench::median(busSamples);
  const double pingMedian = bench::median(pingSamples);
  const double socketMedian = bench::median(socketSamples);
  std::printf("session-bus round trip (private dbus-daemon), %s, %zu calls each\n", title,
              busSamples.size());
  std::printf("  IsFilePathWritable over the bus (over-long path)  median %7.2f us  p99 %7.2f us\n",
              busMedian, bench::percentile(busSamples, 0.99));
  std::printf("  org.freedesktop.DBus.Peer.Ping, same service      median %7.2f us  p99 %7.2f us\n",
              pingMedian, bench::percentile(pingSamples, 0.99));
  std::printf("  the same operation over the socket (information)  median %7.2f us  p99 %7.2f us\n",
              socketMedian, bench::percentile(socketSamples, 0.99));
  bench::printRatio("bus operation / Peer.Ping (median)", busMedian, pingMedian, target);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

int main() {
  try {
    // Every process on one CPU, as the other round-trip benchmarks: steadier medians. There
    // the hand-over of each call to a worker thread costs a switch that Ping does not make.
    const int cpu = bench::pinToOneCpu();
    measure(cpu >= 0 ? "every process on one CPU" : "(could not pin to one CPU)", 1.3);
    return 0;
  } catch (const Failure& failure) {
    std::fprintf(stderr, "bus_bench: %s\n", failure.what.c_str());
    return 1;
  }
}
