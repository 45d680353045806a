// The client library's two faces and its two ways of use, measured in one run against the
// same service: a call through the C API against the same call through the C++ client, and
// 10,000 trivial requests kept in flight on one connection against the same sent one by one.
#include <poll.h>

#include <cstring>
#include <string>

#include "printxpc/printxpc.h"
#include "support/bench_support.h"

namespace {

using namespace printxpc;

constexpr char kSelector[] = "isFilePathWritable_XPC:reply:";
const std::string kLongPath(300, 'p');  // over the 255-byte limit: answered without file access

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "client_api_bench: %s\n", what);
    std::exit(1);
  }
}

void cCall(printxpc_client* client) {
  char* reply = nullptr;
  check(printxpc_call(client, kSelector, kLongPath.data(), kLongPath.size(), &reply, nullptr,
                      nullptr) == PRINTXPC_OK &&
            std::strcmp(reply, "FALSE") == 0,
        "C API call failed");
  printxpc_free(reply);
}

// Microseconds for `count` requests sent one after another, each waiting for its reply.
double sequential(printxpc_client* client, int count) {
  const auto begin = bench::Clock::now();
  for (int i = 0; i < count; ++i) {
    cCall(client);
  }
  return std::chrono::duration<double, std::micro>(bench::Clock::now() - begin).count();
}

// Microseconds for `count` requests all queued at once and collected under poll.
double pipelined(printxpc_client* client, int count) {
  const auto begin = bench::Clock::now();
  for (int i = 0; i < count; ++i) {
    check(printxpc_send(client, kSelector, kLongPath.data(), kLongPath.size(), nullptr) ==
              PRINTXPC_OK,
          "send failed");
  }
  int received = 0;
  while (received < count) {
    pollfd ready{printxpc_fd(client), printxpc_events(client), 0};
    check(::poll(&ready, 1, -1) == 1, "poll failed");
    for (;;) {
      char* reply = nullptr;
      const int code = printxpc_receive(client, &reply, nullptr, nullptr);
      if (code == PRINTXPC_ERR_AGAIN) {
        break;
      }
      check(code == PRINTXPC_OK && std::strcmp(reply, "FALSE") == 0, "receive failed");
      printxpc_free(reply);
      if (++received == count) {
        break;
      }
    }
  }
  return std::chrono::duration<double, std::micro>(bench::Clock::now() - begin).count();
}

}  // namespace

int main() {
  // The client and the service on one CPU: each hand-over is then a plain context switch,
  // whichever connection it is, and the two faces compare like for like.
  bench::pinToOneCpu();
  bench::ServiceProcess service;
  auto cxx = service.connect();
  printxpc_client* c = nullptr;
  check(printxpc_connect_path(service.socketPath().c_str(), "a", &c, nullptr) == PRINTXPC_OK,
        "cannot connect through the C API");

  const auto cxxCall = [&] {
    check(cxx.call(kSelector, kLongPath).value() == "FALSE", "C++ call failed");
  };
  const auto cApiCall = [&] { cCall(c); };
  const auto samples = bench::sampleAlternating(2000, 20, 1000, {cxxCall, cApiCall});
  const auto& cxxSamples = samples[0];
  const auto& cSamples = samples[1];
  const double cxxMedian = bench::median(cxxSamples);
  const double cMedian = bench::median(cSamples);
  std::printf("one call (isFilePathWritable_XPC, over-long path), %zu calls each\n",
              cSamples.size());
  std::printf("  C API printxpc_call          median %7.2f us  p99 %7.2f us\n", cMedian,
              bench::percentile(cSamples, 0.99));
  std::printf("  C++ ServiceClient::call      median %7.2f us  p99 %7.2f us\n", cxxMedian,
              bench::percentile(cxxSamples, 0.99));
  bench::printRatio("C API call / C++ call (median)", cMedian, cxxMedian, 1.05);

  constexpr int kRequests = 10000;
  std::vector<double> oneByOne;
  std::vector<double> inFlight;
  for (int round = 0; round < 11; ++round) {
    oneByOne.push_back(sequential(c, kRequests));
    inFlight.push_back(pipelined(c, kRequests));
  }
  const double oneByOneMedian = bench::median(oneByOne) / 1000.0;
  const double inFlightMedian = bench::median(inFlight) / 1000.0;
  std::printf("%d trivial requests on one connection, %zu rounds each\n", kRequests,
              oneByOne.size());
  std::printf("  one after another            median %7.2f ms  (%.0f requests/s)\n", oneByOneMedian,
              kRequests / oneByOneMedian * 1000.0);
  std::printf("  all in flight, under poll    median %7.2f ms  (%.0f requests/s)\n", inFlightMedian,
              kRequests / inFlightMedian * 1000.0);
  bench::printRatio("throughput in flight / one after another", oneByOneMedian, inFlightMedian, 3.0,
                    false);
  printxpc_close(c);
  return 0;
}
