// The C API against an in-process server: error codes, many requests in flight collected in
// order under poll, and one handle per thread.
#include <gtest/gtest.h>
#include <poll.h>

#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "printxpc/builds.h"
#include "printxpc/printxpc.h"
#include "support/socket_service.h"
#include "support/temp_dir.h"

namespace printxpc {
namespace {

constexpr char kWritable[] = "isFilePathWritable_XPC:reply:";

// Frees a reply string when it goes out of scope.
struct Reply {
  ~Reply() { printxpc_free(text); }
  char* text = nullptr;
  std::size_t length = 0;
};

struct Handle {
  ~Handle() { printxpc_close(client); }
  printxpc_client* client = nullptr;
};

class TransportClientApi : public ::testing::Test {
 protected:
  // Each connection answers "<n>:<request>", n counting its requests.
  void SetUp() override {
    CoreSettings core;
    core.makeHandler = [] {
      auto count = std::make_shared<int>(0);
      return RequestHandler([count](Operation, std::string_view request) {
        return std::optional<std::string>(std::to_string(++*count) + ":" + std::string(request));
      });
    };
    ConnectionSettings connection;
    connection.protocolName = protocolName(kBuilds[0]);
    service_ = std::make_unique<test_support::SocketService>(path_, std::move(core),
                                                             std::move(connection));
  }
  void TearDown() override { service_.reset(); }

  void connect(Handle& handle) {
    printxpc_error error{};
    ASSERT_EQ(printxpc_connect_path(path_.c_str(), "a", &handle.client, &error), PRINTXPC_OK)
        << error.message;
  }

  test_support::TempDir dir_;
  std::string path_ = dir_.file("service.sock");
  std::unique_ptr<test_support::SocketService> service_;
};

TEST_F(TransportClientApi, FailuresAreCodesWithMessages) {
  const struct {
    std::string path;
    const char* build;
    int code;
    const char* name;
  } cases[] = {
      {dir_.file("nobody.sock"), "a", PRINTXPC_ERR_CANNOT_CONNECT, "cannot-connect"},
      {path_, "b", PRINTXPC_ERR_PROTOCOL_MISMATCH, "protocol-mismatch"},
      {path_, "z", PRINTXPC_ERR_INVALID_ARGUMENT, "invalid-argument"},
      {std::string(200, 'x'), "a", PRINTXPC_ERR_INVALID_ARGUMENT, "invalid-argument"},
  };
  for (const auto& attempt : cases) {
    SCOPED_TRACE(attempt.path + " " + attempt.build);
    Handle handle;
    printxpc_error error{};
    EXPECT_EQ(printxpc_connect_path(attempt.path.c_str(), attempt.build, &handle.client, &error),
              attempt.code);
    EXPECT_EQ(error.code, attempt.code);
    EXPECT_NE(error.message[0], '\0');
    EXPECT_STREQ(printxpc_error_name(attempt.code), attempt.name);
    EXPECT_EQ(handle.client, nullptr);
  }

  Handle handle;
  connect(handle);
  Reply reply;
  printxpc_error error{};
  EXPECT_EQ(printxpc_call(handle.client, "print_XPC", "x", 1, &reply.text, nullptr, &error),
            PRINTXPC_ERR_UNKNOWN_OPERATION);
  EXPECT_EQ(printxpc_call(handle.client, kWritable, "\xff", 1, &reply.text, nullptr, &error),
            PRINTXPC_ERR_INVALID_UTF8);
  // The connection stays usable after either.
  ASSERT_EQ(printxpc_call(handle.client, kWritable, "/x", 2, &reply.text, &reply.length, &error),
            PRINTXPC_OK);
  EXPECT_STREQ(reply.text, "1:/x");
  EXPECT_EQ(reply.length, 4U);
}

TEST_F(TransportClientApi, ManyRequestsInFlightAreAnsweredInOrderUnderPoll) {
  Handle handle;
  connect(handle);
  constexpr int kRequests = 2000;
  const std::string padding(3000, 'p');  // enough to fill both socket buffers
  std::vector<std::string> expected;     // empty: an unknown operation
  int served = 0;
  printxpc_error error{};
  for (int i = 0; i < kRequests; ++i) {
    const bool unknown = i % 500 == 7;
    const std::string request = std::to_string(i) + padding;
    ASSERT_EQ(printxpc_send(handle.client, unknown ? "print_XPC" : kWritable, request.data(),
                            request.size(), &error),
              PRINTXPC_OK)
        << error.message;
    expected.push_back(unknown ? "" : std::to_string(++served) + ":" + request);
  }
  EXPECT_EQ(printxpc_pending(handle.client), static_cast<std::size_t>(kRequests));
  Reply refused;
  EXPECT_EQ(printxpc_call(handle.client, kWritable, "x", 1, &refused.text, nullptr, &error),
            PRINTXPC_ERR_INVALID_ARGUMENT);

  std::size_t next = 0;
  while (next < expected.size()) {
    pollfd ready{printxpc_fd(handle.client), printxpc_events(handle.client), 0};
    ASSERT_NE(ready.events, 0);
    ASSERT_EQ(::poll(&ready, 1, 30000), 1) << "no progress after " << next << " replies";
    while (next < expected.size()) {
      Reply reply;
      const int code = printxpc_receive(handle.client, &reply.text, &reply.length, &error);
      if (code == PRINTXPC_ERR_AGAIN) {
        break;
      }
      if (expected[next].empty()) {
        EXPECT_EQ(code, PRINTXPC_ERR_UNKNOWN_OPERATION) << next;
      } else {
        ASSERT_EQ(code, PRINTXPC_OK) << next << ": " << error.message;
        ASSERT_EQ(std::string(reply.text, reply.length), expected[next]);
      }
      ++next;
    }
  }
  EXPECT_EQ(printxpc_pending(handle.client), 0U);
  EXPECT_EQ(printxpc_events(handle.client), 0);
}

TEST_F(TransportClientApi, OneHandlePerThreadNeedsNoLocking) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 200;
  std::vector<std::future<std::string>> workers;
  workers.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    workers.push_back(std::async(std::launch::async, [this, t]() -> std::string {
      Handle handle;
      printxpc_error error{};
      if (printxpc_connect_path(path_.c_str(), "a", &handle.client, &error) != PRINTXPC_OK) {
        return error.message;
      }
      for (int i = 1; i <= kCalls; ++i) {
        const std::string request = std::to_string(t) + "/" + std::to_string(i);
        Reply reply;
        if (printxpc_call(handle.client, kWritable, request.data(), request.size(), &reply.text,
                          nullptr, &error) != PRINTXPC_OK) {
          return error.message;
        }
        if (reply.text != std::to_string(i) + ":" + request) {
          return std::string("wrong reply ") + reply.text;
        }
      }
      return "";
    }));
  }
  for (auto& worker : workers) {
    EXPECT_EQ(worker.get(), "");
  }
}

}  // namespace
}  // namespace printxpc
