// Round trip of a trivial operation through the service, against a raw Unix-socket
// ping-pong of the same frame sizes, measured in one run.
#include <string>

#include "protocol/operations.h"
#include "protocol/wire.h"
#include "support/bench_support.h"

int main() {
  using namespace printxpc;
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

  // Warm up, then alternate blocks so that both see the same machine load.
  bench::sampleMicros(2000, serviceCall);
  bench::sampleMicros(2000, rawCall);
  std::vector<double> serviceSamples;
  std::vector<double> rawSamples;
  for (int block = 0; block < 20; ++block) {
    auto s = bench::sampleMicros(1000, serviceCall);
    auto r = bench::sampleMicros(1000, rawCall);
    serviceSamples.insert(serviceSamples.end(), s.begin(), s.end());
    rawSamples.insert(rawSamples.end(), r.begin(), r.end());
  }
  const double serviceMedian = bench::median(serviceSamples);
  const double rawMedian = bench::median(rawSamples);
  std::printf(
      "transport round trip, %zu-byte request frame, %zu-byte reply frame, %zu calls each\n",
      requestFrame.size(), replyFrame.size(), serviceSamples.size());
  std::printf("  service (isFilePathWritable_XPC, over-long path)  median %7.2f us  p99 %7.2f us\n",
              serviceMedian, bench::percentile(serviceSamples, 0.99));
  std::printf("  raw Unix-socket ping-pong, same frame sizes       median %7.2f us  p99 %7.2f us\n",
              rawMedian, bench::percentile(rawSamples, 0.99));
  bench::printRatio("service round trip / raw ping-pong (median)", serviceMedian, rawMedian, 1.5);
  return 0;
}
