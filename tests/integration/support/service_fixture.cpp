#include "support/service_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/test_support.h"

namespace printxpc::test_support {

RunningService::RunningService(const std::string& buildId, const LaunchWrapper& wrap)
    : protocol_(protocolName(*findBuild(buildId))) {
  char pattern[] = "/tmp/printxpc-svc-XXXXXX";
  dir_ = ::mkdtemp(pattern);
  ::chmod(dir_.c_str(), 0755);
  socket_ = dir_ + "/service.sock";
  std::vector<std::string> argv{binaryPath("src/service/print-xpc-service-" + buildId), "--listen",
                                socket_};
  process_ = ChildProcess(wrap ? wrap(dir_, std::move(argv)) : argv);
  EXPECT_TRUE(waitForSocket(socket_, std::chrono::seconds(5)));
}

RunningService::~RunningService() {
  process_ = ChildProcess();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

Result<ServiceClient> RunningService::tryConnect() const {
  return ServiceClient::connect(socket_, protocol_);
}

ServiceClient RunningService::connect() const {
  auto client = tryConnect();
  if (auto* failure = std::get_if<TransportFailure>(&client)) {
    ADD_FAILURE() << "cannot connect: " << failure->message;
  }
  return std::move(std::get<ServiceClient>(client));
}

std::string RunningService::replyOf(Result<std::string> result) {
  if (auto* failure = std::get_if<TransportFailure>(&result)) {
    return "transport error " + std::to_string(failure->code) + ": " + failure->message;
  }
  return std::get<std::string>(result);
}

std::string RunningService::call(std::string_view selector, std::string_view request) const {
  auto client = connect();
  return replyOf(client.call(selector, request));
}

}  // namespace printxpc::test_support
