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
  if (!client) {
    ADD_FAILURE() << "cannot connect: " << client.error().message;
  }
  return std::move(client).value();
}

std::string RunningService::replyOf(Result<std::string> result) {
  if (!result) {
    return "transport error " + std::to_string(result.error().code) + ": " + result.error().message;
  }
  return std::move(*result);
}

std::string RunningService::call(std::string_view selector, std::string_view request) const {
  auto client = connect();
  return replyOf(client.call(selector, request));
}

}  // namespace printxpc::test_support
