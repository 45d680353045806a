// The client library's two faces and its two ways of use, measured in one run against the
// same service: a call through the C API against the same call through the C++ client; a
// typed GET (printxpc_snmp_get) against printxpc_call of the same request with the reply
// parsed by the caller, both to a private snmpd on 127.0.0.1 (run it inside tests/netns-run,
// as scripts/bench does); and 10,000 trivial requests kept in flight on one connection
// against the same sent one by one.
#include <poll.h>

#include <cstring>
#include <string>

#include "printxpc/printxpc.h"
#include "printxpc/requests.h"
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

constexpr char kAgent[] = "127.0.0.1";
constexpr char kSysDescr[] = "Bench Printer 7";
constexpr char kSysDescrOid[] = "1.3.6.1.2.1.1.1.0";

// What a caller of the raw call writes to read a GET's text: the prefix compared, the text
// copied with its length.
bool parseTextByHand(const char* reply, std::size_t length, char (&text)[256],
                     std::size_t& textLength) {
  constexpr char kPrefix[] = "TRUE:uResult.string=";
  constexpr std::size_t kPrefixLength = sizeof(kPrefix) - 1;
  if (length < kPrefixLength || std::strncmp(reply, kPrefix, kPrefixLength) != 0 ||
      length - kPrefixLength >= sizeof(text)) {
    return false;
  }
  textLength = length - kPrefixLength;
  std::memcpy(text, reply + kPrefixLength, textLength);
  text[textLength] = '\0';
  return true;
}

// The typed GET against the raw call of the same request, parsed by hand.
void compareGets(printxpc_client* client, const std::string& cancelFile) {
  bench::SnmpdProcess snmpd(kAgent, kSysDescr);
  printxpc_snmp_get_args args{};
  args.host = kAgent;
  args.oid = kSysDescrOid;
  args.timeout_ms = 1000;
  args.cancel_file = cancelFile.c_str();
  printxpc::requests::SnmpGetArgs same;
  same.host = kAgent;
  same.oid = kSysDescrOid;
  same.timeoutMs = 1000;
  same.cancelFile = cancelFile;
  const std::string request = printxpc::requests::buildSnmpGet(same).value();
  printxpc_snmp_result result{};
  bool ready = false;
  for (int i = 0; i < 500 && !ready; ++i) {
    ready = printxpc_snmp_get(client, &args, &result, nullptr) == PRINTXPC_OK &&
            result.kind == PRINTXPC_SNMP_KIND_TEXT;
  }
  check(ready, "snmpd does not answer on 127.0.0.1:161 (run through tests/netns-run, as root)");

  const auto typed = [&] {
    check(printxpc_snmp_get(client, &args, &result, nullptr) == PRINTXPC_OK &&
              result.kind == PRINTXPC_SNMP_KIND_TEXT && std::strcmp(result.text, kSysDescr) == 0,
          "typed GET failed");
  };
  const auto raw = [&] {
    char* reply = nullptr;
    std::size_t length = 0;
    char text[256];
    std::size_t textLength = 0;
    check(printxpc_call(client, "pdeSnmpGet_XPC:reply:", request.data(), request.size(), &reply,
                        &length, nullptr) == PRINTXPC_OK &&
              parseTextByHand(reply, length, text, textLength) && std::strcmp(text, kSysDescr) == 0,
          "raw GET failed");
    printxpc_free(reply);
  };
  const auto samples = bench::sampleAlternating(500, 20, 250, {raw, typed});
  const double rawMedian = bench::median(samples[0]);
  const double typedMedian = bench::median(samples[1]);
  std::printf("one GET of sysDescr.0 from snmpd on 127.0.0.1, %zu calls each\n", samples[1].size());
  std::printf("  typed printxpc_snmp_get      median %7.2f us  p99 %7.2f us\n", typedMedian,
              bench::percentile(samples[1], 0.99));
  std::printf("  printxpc_call, parsed by hand median %7.2f us  p99 %7.2f us\n", rawMedian,
              bench::percentile(samples[0], 0.99));
  bench::printRatio("typed GET / raw call and own parse (median)", typedMedian, rawMedian, 1.05);
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

  compareGets(c, service.socketPath() + ".cancel");

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
