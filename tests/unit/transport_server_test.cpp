#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "printxpc/client.h"
#include "protocol/transport.h"
#include "protocol/wire.h"
#include "service/socket/listen_socket.h"
#include "shared/wait.h"
#include "support/socket_service.h"
#include "support/temp_dir.h"

namespace printxpc {
namespace {

using namespace std::chrono_literals;
using test_support::Gate;
using test_support::waitUntil;
using wire::TransportError;

constexpr char kProtocol[] = "XPC_ProtocolTEST";

std::string replyOf(Result<std::string> result) {
  if (!result) {
    return "transport error " + std::to_string(result.error().code) + ": " + result.error().message;
  }
  return std::move(*result);
}

// A raw connection for sending bytes that a well-behaved client never would.
class RawConnection {
 public:
  explicit RawConnection(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    connected_ = ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    // A failure guard only: a service that never answers fails the test instead of hanging it.
    const timeval guard{20, 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof(guard));
  }
  int fd() const { return fd_.get(); }
  bool connected() const { return connected_; }
  void send(std::string_view bytes) { ASSERT_TRUE(transport::sendAll(fd_.get(), bytes)); }
  void hello(std::string_view protocol = kProtocol) {
    send(wire::encodeFrame(wire::FrameKind::kHello, protocol));
    wire::Frame welcome;
    ASSERT_EQ(reader_.next(welcome), wire::ReadStatus::kFrame);
    ASSERT_EQ(welcome.kind, wire::FrameKind::kWelcome);
  }
  void request(std::string_view selector, std::string_view request) {
    send(wire::encodeFrame(wire::FrameKind::kRequest,
                           wire::encodeRequestPayload(selector, request)));
  }
  wire::ReadStatus next(wire::Frame& frame) { return reader_.next(frame); }
  // The transport error code of the next frame, or 0 when it is no error frame.
  std::uint16_t nextErrorCode() {
    wire::Frame frame;
    if (next(frame) != wire::ReadStatus::kFrame || frame.kind != wire::FrameKind::kError) {
      return 0;
    }
    const auto error = wire::parseErrorPayload(frame.payload);
    return error ? error->code : 0;
  }
  // True when the service has closed the connection. A peer that closes with our bytes
  // still unread makes the stream end in a reset, which counts as closed too; the guard's
  // timeout does not.
  bool closedByPeer() {
    wire::Frame frame;
    const auto status = next(frame);
    return status == wire::ReadStatus::kEndOfStream ||
           (status == wire::ReadStatus::kIoError && errno != EAGAIN);
  }

 private:
  UniqueFd fd_;
  bool connected_ = false;
  transport::FdSource source_{fd_.get()};
  wire::FrameReader reader_{source_};
};

std::uint16_t code(TransportError error) { return static_cast<std::uint16_t>(error); }

class TransportServer : public ::testing::Test {
 protected:
  // The handler answers "<n>:<request>", n counting the requests of its own connection;
  // the request "slow" is held at slowGate_ until the test opens it, and "unavailable" is an
  // operation not available.
  HandlerFactory countingHandlers() {
    return [this] {
      ++handlersMade_;
      auto count = std::make_shared<int>(0);
      return RequestHandler(
          [this, count](Operation, std::string_view request) -> std::optional<std::string> {
            if (request == "unavailable") {
              return std::nullopt;
            }
            if (request == "slow") {
              EXPECT_TRUE(slowGate_.arriveAndWait()) << "the test never let the request go";
            }
            return std::to_string(++*count) + ":" + std::string(request);
          });
    };
  }

  void start(CoreSettings core = {}, ConnectionSettings connection = {}) {
    core.makeHandler = countingHandlers();
    connection.protocolName = kProtocol;
    service_ = std::make_unique<test_support::SocketService>(path_, std::move(core),
                                                             std::move(connection));
  }

  void TearDown() override {
    slowGate_.open();
    service_.reset();
  }

  ServiceCore& core() { return service_->core(); }
  ServiceCore::Outcome outcome() { return service_->runner().get(); }

  ServiceClient connect() {
    auto client = ServiceClient::connect(path_, kProtocol);
    EXPECT_TRUE(client);
    return std::move(client).value();
  }

  void waitForConnections(std::size_t count) {
    ASSERT_TRUE(waitUntil([&] { return core().callers(Front::kSocket) == count; }))
        << core().callers(Front::kSocket) << " connections";
  }

  // Waits until the connections together hold at least (or, `exactly`, just) this many
  // bytes for frames beyond their standing buffers.
  void waitForBufferedBytes(std::size_t bytes, bool exactly = false) {
    const auto reached = [&] {
      const std::size_t held = core().bufferedBytes();
      return exactly ? held == bytes : held >= bytes;
    };
    ASSERT_TRUE(waitUntil(reached)) << core().bufferedBytes() << " bytes held";
  }

  test_support::TempDir dir_;
  std::string path_ = dir_.file("service.sock");
  std::atomic<int> handlersMade_{0};
  Gate slowGate_;
  std::unique_ptr<test_support::SocketService> service_;
};

TEST_F(TransportServer, SocketFileIsPrivateToTheUser) {
  start();
  struct stat status {};
  ASSERT_EQ(::stat(path_.c_str(), &status), 0);
  EXPECT_TRUE(S_ISSOCK(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0600U);
}

TEST_F(TransportServer, EachConnectionHasItsOwnServiceObject) {
  start();
  auto first = connect();
  auto second = connect();
  EXPECT_EQ(replyOf(first.call("isFilePathWritable_XPC:reply:", "a")), "1:a");
  EXPECT_EQ(replyOf(first.call("isFilePathWritable_XPC", "b")), "2:b");
  EXPECT_EQ(replyOf(second.call("isFilePathWritable_XPC:reply:", "c")), "1:c");
  EXPECT_EQ(replyOf(first.call("isFilePathWritable_XPC:reply:", "d")), "3:d");
  EXPECT_EQ(handlersMade_, 2);
}

TEST_F(TransportServer, RepliesComeInRequestOrder) {
  start();
  RawConnection raw(path_);
  raw.hello();
  for (int i = 0; i < 50; ++i) {
    raw.request("isFilePathWritable_XPC:reply:", std::to_string(i));  // pipelined
  }
  for (int i = 0; i < 50; ++i) {
    wire::Frame frame;
    ASSERT_EQ(raw.next(frame), wire::ReadStatus::kFrame);
    EXPECT_EQ(frame.kind, wire::FrameKind::kReply);
    EXPECT_EQ(frame.payload, std::to_string(i + 1) + ":" + std::to_string(i));
  }
}

TEST_F(TransportServer, SlowRequestDoesNotDelayAnotherConnection) {
  start();
  auto slowClient = connect();
  auto quickClient = connect();
  auto slow = std::async(std::launch::async, [&] {
    return replyOf(slowClient.call("isFilePathWritable_XPC", "slow"));
  });
  ASSERT_TRUE(slowGate_.waitForArrivals(1));
  // Answered while the slow request is still held in its handler.
  EXPECT_EQ(replyOf(quickClient.call("isFilePathWritable_XPC", "quick")), "1:quick");
  EXPECT_EQ(slow.wait_for(0s), std::future_status::timeout);
  slowGate_.open();
  EXPECT_EQ(slow.get(), "1:slow");
}

TEST_F(TransportServer, TransportErrorsAreDistinctFromReplies) {
  start();
  struct Case {
    const char* name;
    std::string afterHello;  // bytes sent after a successful handshake; empty: see `beforeHello`
    std::string beforeHello;
    TransportError error;
    bool staysOpen;
  };
  const std::string hugeHeader("\x03\x01\x00\x00\x00", 5);  // 16 MiB announced
  const Case cases[] = {
      {"wrong protocol", "", wire::encodeFrame(wire::FrameKind::kHello, "XPC_ProtocolOTHER"),
       TransportError::kProtocolMismatch, false},
      {"request before hello", "",
       wire::encodeFrame(wire::FrameKind::kRequest, wire::encodeRequestPayload("x", "y")),
       TransportError::kHandshakeRequired, false},
      {"garbage before hello", "", "GET / HTTP/1.1\r\n\r\n", TransportError::kMalformedFrame,
       false},
      {"garbage", "\x77garbage", "", TransportError::kMalformedFrame, false},
      {"oversized frame", hugeHeader, "", TransportError::kFrameTooLarge, false},
      {"reply frame from a client", wire::encodeFrame(wire::FrameKind::kReply, "TRUE"), "",
       TransportError::kMalformedFrame, false},
      {"selector longer than payload",
       wire::encodeFrame(wire::FrameKind::kRequest, std::string("\x00\x09op", 4)), "",
       TransportError::kMalformedFrame, false},
      {"unknown operation",
       wire::encodeFrame(wire::FrameKind::kRequest,
                         wire::encodeRequestPayload("printPage:reply:", "x")),
       "", TransportError::kUnknownOperation, true},
      {"invalid UTF-8",
       wire::encodeFrame(wire::FrameKind::kRequest,
                         wire::encodeRequestPayload("isFilePathWritable_XPC:reply:", "/tmp/\xFF")),
       "", TransportError::kInvalidUtf8, true},
      {"operation not available",
       wire::encodeFrame(wire::FrameKind::kRequest,
                         wire::encodeRequestPayload("pdeSnmpGet_XPC:reply:", "unavailable")),
       "", TransportError::kNotAvailable, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection raw(path_);
    ASSERT_TRUE(raw.connected());
    if (!c.beforeHello.empty()) {
      raw.send(c.beforeHello);
    } else {
      raw.hello();
      raw.send(c.afterHello);
    }
    EXPECT_EQ(raw.nextErrorCode(), code(c.error));
    if (c.staysOpen) {
      raw.request("isFilePathWritable_XPC:reply:", "next");
      wire::Frame frame;
      ASSERT_EQ(raw.next(frame), wire::ReadStatus::kFrame);
      EXPECT_EQ(frame.kind, wire::FrameKind::kReply);
      EXPECT_EQ(frame.payload, "1:next");
    } else {
      EXPECT_TRUE(raw.closedByPeer());
    }
  }
  // The service is still there for everybody else.
  auto client = connect();
  EXPECT_EQ(replyOf(client.call("isFilePathWritable_XPC", "after")), "1:after");
}

TEST_F(TransportServer, ClientThatDisconnectsMidRequestDoesNotDisturbTheService) {
  start();
  {
    RawConnection raw(path_);
    raw.hello();
    raw.send(std::string("\x03\x00\x00\x01\x00partial", 12));  // 256 bytes announced, 7 sent
  }
  {
    auto leaving = connect();
    auto slow = std::async(std::launch::async, [&leaving] {
      return replyOf(leaving.call("isFilePathWritable_XPC", "slow"));
    });
    ASSERT_TRUE(slowGate_.waitForArrivals(1));
    ::shutdown(leaving.fd(), SHUT_RDWR);  // the client goes away while its request runs
    slow.wait();
    slowGate_.open();
  }
  waitForConnections(0);
  auto client = connect();
  EXPECT_EQ(replyOf(client.call("isFilePathWritable_XPC", "still here")), "1:still here");
}

TEST_F(TransportServer, HandshakeTimeoutFreesTheSlot) {
  ConnectionSettings settings;
  settings.handshakeTimeout = 200ms;
  start({}, settings);
  RawConnection silent(path_);
  EXPECT_TRUE(silent.closedByPeer());
  waitForConnections(0);
}

// A slow or stalled client loses its connection once its time is up, however it spaces its
// bytes, so that such clients cannot keep every slot or hold buffers for good.
TEST_F(TransportServer, SlowClientsAreDroppedWhenTheirTimeIsUp) {
  ConnectionSettings settings;
  settings.handshakeTimeout = 300ms;
  settings.frameTimeout = 300ms;
  start({}, settings);
  struct Case {
    const char* name;
    bool helloFirst;
    std::string header;  // sent at once (after the hello, if any)
    bool trickled;       // then a byte every 20 ms, far within each read's wait, until closed
  };
  // Frames of 100,000 bytes: trickled, they could not arrive whole within half an hour, so
  // only the service's clock can end them.
  const std::string bigHello("\x01\x00\x01\x86\xA0", 5);
  const std::string bigRequest("\x03\x00\x01\x86\xA0", 5);
  const Case cases[] = {
      {"hello trickled a byte at a time", false, bigHello, true},
      {"request trickled a byte at a time", true, bigRequest, true},
      {"request begun, then nothing", true, bigRequest + "0123456789", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection raw(path_);
    ASSERT_TRUE(raw.connected());
    if (c.helloFirst) {
      raw.hello();
    }
    raw.send(c.header);
    std::atomic<bool> closed{false};
    std::thread trickle([&] {
      // The pause between bytes is a wait for the service to hang up (or answer).
      pollfd hangup{raw.fd(), POLLRDHUP, 0};
      while (c.trickled && !closed && ::poll(&hangup, 1, 20) == 0) {
        if (!transport::sendAll(raw.fd(), "x")) {
          return;  // the service has closed the connection
        }
      }
    });
    // The frame never completes: the service closes, or the read guard fails the test.
    EXPECT_TRUE(raw.closedByPeer());
    closed = true;
    trickle.join();
    waitForConnections(0);
  }
}

// Memory held for unfinished frames is bounded across all connections, whatever clients do:
// a frame that would exceed the budget is refused, the others are served, and what a
// connection held is given back.
TEST_F(TransportServer, BytesBufferedForFramesStayWithinTheBudget) {
  CoreSettings settings;
  settings.byteBudget = std::size_t{1024} * 1024;
  start(settings);
  const std::string big(std::size_t{1000} * 1024 - 40, 'x');
  const std::string bigFrame = wire::encodeFrame(
      wire::FrameKind::kRequest, wire::encodeRequestPayload("isFilePathWritable_XPC", big));
  const std::string mediumFrame =
      wire::encodeFrame(wire::FrameKind::kRequest,
                        wire::encodeRequestPayload("isFilePathWritable_XPC",
                                                   std::string(std::size_t{300} * 1024, 'm')));

  RawConnection holder(path_);
  holder.hello();
  const std::size_t held = std::size_t{900} * 1024;
  holder.send(std::string_view(bigFrame).substr(0, held));  // most of a frame, then a pause
  waitForBufferedBytes(held - std::size_t{64} * 1024);

  RawConnection refused(path_);
  refused.hello();
  // The service may refuse and close before all of it is sent.
  (void)transport::sendAll(refused.fd(), mediumFrame);
  EXPECT_EQ(refused.nextErrorCode(), code(TransportError::kBusy));
  EXPECT_TRUE(refused.closedByPeer());

  holder.send(std::string_view(bigFrame).substr(held));
  wire::Frame reply;
  ASSERT_EQ(holder.next(reply), wire::ReadStatus::kFrame);
  EXPECT_EQ(reply.payload, "1:" + big);
  waitForBufferedBytes(0, true);  // answered: its memory is given back

  auto later = std::make_unique<RawConnection>(path_);
  later->hello();
  later->send(mediumFrame);
  ASSERT_EQ(later->next(reply), wire::ReadStatus::kFrame);
  EXPECT_EQ(reply.kind, wire::FrameKind::kReply);
  later.reset();
  waitForConnections(1);
  EXPECT_EQ(core().bufferedBytes(), 0U);
}

TEST_F(TransportServer, ConnectionCapRefusesCleanlyAndRecovers) {
  CoreSettings settings;
  settings.maxCallers = 2;
  start(settings);
  auto first = connect();
  auto second = connect();
  waitForConnections(2);
  auto refused = ServiceClient::connect(path_, kProtocol);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, code(TransportError::kBusy));
  { auto leaving = std::move(first); }
  waitForConnections(1);
  auto third = connect();
  EXPECT_EQ(replyOf(third.call("isFilePathWritable_XPC", "x")), "1:x");
  EXPECT_EQ(replyOf(second.call("isFilePathWritable_XPC", "y")), "1:y");
}

TEST_F(TransportServer, PeerOfAnotherUserIsRefused) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to run a peer as another user";
  }
  start();
  // Open the socket file to everybody so that only the credential check stands in the way.
  ASSERT_EQ(::chmod(path_.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(10);
    }
    RawConnection raw(path_);
    if (!raw.connected()) {
      ::_exit(11);
    }
    raw.send(wire::encodeFrame(wire::FrameKind::kHello, kProtocol));
    const bool refused =
        raw.nextErrorCode() == code(TransportError::kPermissionDenied) && raw.closedByPeer();
    ::_exit(refused ? 0 : 12);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(handlersMade_, 0);
}

TEST_F(TransportServer, StopLetsTheRequestInProgressFinish) {
  start();
  auto client = connect();
  auto slow = std::async(std::launch::async,
                         [&] { return replyOf(client.call("isFilePathWritable_XPC", "slow")); });
  ASSERT_TRUE(slowGate_.waitForArrivals(1));
  core().requestStop();
  // The service has stopped listening (its socket file is gone) with the request still held.
  EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(path_); }));
  slowGate_.open();
  EXPECT_EQ(slow.get(), "1:slow");
  const auto stopped = outcome();
  EXPECT_EQ(stopped.cause, ServiceCore::Outcome::Cause::kRequested);
  EXPECT_TRUE(stopped.drained());
  EXPECT_FALSE(std::filesystem::exists(path_));
}

// Another instance may have put its own socket at the path; stopping leaves that alone.
TEST_F(TransportServer, StopRemovesOnlyTheSocketFileItCreated) {
  start();
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  const auto second = listenAt(path_);
  ASSERT_TRUE(second);
  service_->stop();
  EXPECT_TRUE(std::filesystem::exists(path_));
  RawConnection raw(path_);
  EXPECT_TRUE(raw.connected());  // the second instance's socket still works
}

TEST_F(TransportServer, IdleExitWaitsForOpenConnections) {
  CoreSettings settings;
  settings.idleExit = 300ms;
  start(settings);
  {
    auto client = connect();
    EXPECT_EQ(service_->runner().wait_for(700ms), std::future_status::timeout);
    EXPECT_EQ(replyOf(client.call("isFilePathWritable_XPC", "x")), "1:x");
  }
  ASSERT_EQ(service_->runner().wait_for(5s), std::future_status::ready);
  EXPECT_EQ(outcome().cause, ServiceCore::Outcome::Cause::kIdle);
}

TEST(ListenSocket, RefusesALiveServiceAndReplacesAStaleSocket) {
  test_support::TempDir dir;
  const std::string path = dir.file("s.sock");
  auto first = listenAt(path);
  ASSERT_TRUE(first);
  const auto live = listenAt(path);
  ASSERT_FALSE(live);
  EXPECT_NE(live.error().message.find("already answers"), std::string::npos);
  first->socket.reset();  // the socket file stays, nobody answers: stale
  EXPECT_TRUE(listenAt(path));

  const std::string regular = dir.file("plain-file");
  { std::ofstream(regular) << "keep me"; }
  EXPECT_FALSE(listenAt(regular));
  EXPECT_TRUE(std::filesystem::exists(regular));
}

}  // namespace
}  // namespace printxpc
