// Round trip of a trivial operation through the service, against a raw Unix-socket
// ping-pong of the same frame sizes, measured in one run. Every process runs on one CPU, as
// in the other round-trip benchmarks: unpinned, the service's leg (this process, the
// service's main and connection threads) and the raw leg (two processes) would be spread
// over the CPUs differently, and the ratio would measure the scheduler.
#include <string>

#include "protocol/operations.h"
#include "protocol/wire.h"
#include "support/bench_support.h"

int main() {
  using namespace printxpc;
  const int cpu = bench::pinToOneCpu();
  const std::string longPath(300, 'p');  // over the 255-byte limit: answered without file access
  const auto selector = selectorOf(Operation::kIsFilePathWritable);
  const std::string requestFrame =
      wire::encodeFrame(wire::FrameKind::kRequest, wire::encodeRequestPayload(selector, longPath));
  const std::string replyFrame = wire::encodeFrame(wire::FrameKind::kReply, "FALSE");

  bench::ServiceProcess service;
  auto client = service.connect();
  bench::RawEchoProcess raw(requestFrame.size(), replyFrame.size());
  std::string rawReply(replyFrame.size(), '\0');

  const auto serviceCall = [&] {
    if (client.call(selector, longPath).value() != "FALSE") {
      std::exit(1);
    }
  };
  const auto rawCall = [&] { raw.roundTrip(requestFrame, rawReply); };

  const auto samples = bench::sampleAlternating(2000, 20, 1000, {serviceCall, rawCall});
  const auto& serviceSamples = samples[0];
  const auto& rawSamples = samples[1];
  const double serviceMedian = bench::median(serviceSamples);
  const double rawMedian = bench::median(rawSamples);
  std::printf(
      "transport round trip, %zu-byte request frame, %zu-byte reply frame, %zu calls each, %s\n",
      requestFrame.size(), replyFrame.size(), serviceSamples.size(),
      cpu >= 0 ? "every process on one CPU" : "(could not pin to one CPU)");
  std::printf("  service (isFilePathWritable_XPC, over-long path)  median %7.2f us  p99 %7.2f us\n",
              serviceMedian, bench::percentile(serviceSamples, 0.99));
  std::printf("  raw Unix-socket ping-pong, same frame sizes       median %7.2f us  p99 %7.2f us\n",
              rawMedian, bench::percentile(rawSamples, 0.99));
  bench::printRatio("service round trip / raw ping-pong (median)", serviceMedian, rawMedian, 1.5);
  return 0;
}
