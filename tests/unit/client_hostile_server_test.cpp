// The client library against a server that misbehaves (support/hostile_server.h), and its
// reply parsers on their own: what the well-behaved service never sends.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "printxpc/builds.h"
#include "printxpc/client.h"
#include "printxpc/printxpc.h"
#include "support/hostile_server.h"

namespace printxpc::test_support {
namespace {

using wire::FrameKind;

const std::string kProtocol = protocolName(kBuilds[0]);
const std::string kWelcome = frame(FrameKind::kWelcome, kProtocol);

std::string replyFrame(std::string_view reply) { return frame(FrameKind::kReply, reply); }

struct Handle {
  ~Handle() { printxpc_close(client); }
  printxpc_client* client = nullptr;
};

// What one row does with a connected handle; failures are reported with EXPECT.
using Exercise = std::function<void(HostileServer&, printxpc_client*)>;

struct Row {
  const char* name;
  std::vector<std::string> answers;
  Exercise exercise;  // none: the handshake itself is the case (`handshakeCode`)
  int handshakeCode = PRINTXPC_OK;
};

void expectCode(int code, int wanted, const printxpc_error& error) {
  EXPECT_EQ(code, wanted) << error.message;
  EXPECT_EQ(error.code, wanted);
}

TEST(ClientAgainstHostileServer, FailsCleanlyAndStaysUsableWhereItShould) {
  const Row rows[] = {
      {"handshake answered with another build's protocol name",
       {frame(FrameKind::kWelcome, protocolName(kBuilds[1]))},
       {},
       PRINTXPC_ERR_PROTOCOL},
      {"handshake answered with a reply frame", {replyFrame(kProtocol)}, {}, PRINTXPC_ERR_PROTOCOL},
      {"reply never sent: the wait ends and the handle is closed",
       {kWelcome},
       [](HostileServer&, printxpc_client* client) {
         printxpc_error error{};
         ASSERT_EQ(printxpc_set_reply_margin(client, 0, &error), PRINTXPC_OK);
         bool answered = false;
         // An echo with a timeout of 0 may take 0 ms: with no margin the wait ends at once.
         expectCode(printxpc_send_echo(client, "127.0.0.1", 0, &answered, &error),
                    PRINTXPC_ERR_TIMEOUT, error);
         EXPECT_EQ(printxpc_fd(client), -1);
         expectCode(printxpc_is_file_path_writable(client, "/x", &answered, &error),
                    PRINTXPC_ERR_IO, error);
       }},
      {"error message longer than the message buffer",
       {kWelcome, frame(FrameKind::kError,
                        wire::encodeErrorPayload(
                            TransportError::kUnknownOperation, std::string(4, '\n') +
                                                                   [] {
                                                                     std::string text;
                                                                     for (int i = 0; i < 400; ++i)
                                                                       text += "\xc3\xa9";
                                                                     return text;
                                                                   }()))},
       [](HostileServer&, printxpc_client* client) {
         // The struct sits in a larger buffer whose bytes past it must stay untouched.
         struct {
           printxpc_error error;
           char after[64];
         } guarded;
         std::memset(&guarded, 0x5A, sizeof(guarded));
         char* reply = nullptr;
         EXPECT_EQ(printxpc_call(client, "isFilePathWritable_XPC", "/x", 2, &reply, nullptr,
                                 &guarded.error),
                   PRINTXPC_ERR_UNKNOWN_OPERATION);
         const std::size_t length = std::strlen(guarded.error.message);
         // 4 line breaks and 125 two-byte characters: the 126th would not fit whole.
         EXPECT_EQ(length, 254U);
         EXPECT_EQ(std::string(guarded.error.message, 4), "\n\n\n\n");
         EXPECT_EQ(std::string(sizeof(guarded.after), '\x5A'),
                   std::string(guarded.after, sizeof(guarded.after)));
       }},
      {"request over the frame limit, refused unsent; then an ordinary call",
       {kWelcome, replyFrame("TRUE")},
       [](HostileServer& server, printxpc_client* client) {
         printxpc_error error{};
         const std::string huge(wire::kMaxPayload, 'x');
         char* reply = nullptr;
         expectCode(printxpc_call(client, "isFilePathWritable_XPC", huge.data(), huge.size(),
                                  &reply, nullptr, &error),
                    PRINTXPC_ERR_FRAME_TOO_LARGE, error);
         const std::string selector(wire::kMaxSelector + 1, 's');
         expectCode(printxpc_call(client, selector.c_str(), "/x", 2, &reply, nullptr, &error),
                    PRINTXPC_ERR_INVALID_ARGUMENT, error);
         bool writable = false;
         expectCode(printxpc_is_file_path_writable(client, "/small", &writable, &error),
                    PRINTXPC_OK, error);
         EXPECT_TRUE(writable);
         const auto frames = server.received();
         ASSERT_EQ(frames.size(), 2U);  // the hello and the small request alone
         EXPECT_EQ(frames[1].payload.substr(frames[1].payload.size() - 6), "/small");
       }},
      {"replies of another version: each an error of its own, the handle stays usable",
       {kWelcome, replyFrame("MAYBE"), replyFrame("0x1"), replyFrame("TRUE:uResult.integer=7 "),
        replyFrame("TRUE:uResult.string=" + std::string(256, 't')), replyFrame("FALSE")},
       [](HostileServer&, printxpc_client* client) {
         printxpc_error error{};
         bool flag = true;
         std::int32_t number = 0;
         printxpc_snmp_result value{};
         printxpc_snmp_get_args get{};
         get.host = "127.0.0.1";
         get.oid = "1.3.6.1.2.1.1.5.0";
         get.cancel_file = "/nonexistent/cancel";
         expectCode(printxpc_cancel_file_write(client, "/c", &flag, &error),
                    PRINTXPC_ERR_UNEXPECTED_REPLY, error);
         expectCode(printxpc_send_magic_packet(client, nullptr, nullptr, nullptr, &number, &error),
                    PRINTXPC_ERR_UNEXPECTED_REPLY, error);
         expectCode(printxpc_snmp_get(client, &get, &value, &error), PRINTXPC_ERR_UNEXPECTED_REPLY,
                    error);
         expectCode(printxpc_snmp_get(client, &get, &value, &error), PRINTXPC_ERR_UNEXPECTED_REPLY,
                    error);
         expectCode(printxpc_is_file_path_writable(client, "/x", &flag, &error), PRINTXPC_OK,
                    error);
         EXPECT_FALSE(flag);
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HostileServer server(row.answers);
    ASSERT_TRUE(server.listening());
    Handle handle;
    printxpc_error error{};
    const int code = printxpc_connect_path(server.path().c_str(), "a", &handle.client, &error);
    expectCode(code, row.handshakeCode, error);
    if (code == PRINTXPC_OK && row.exercise) {
      row.exercise(server, handle.client);
    }
  }
}

// A handshake that never ends: the bound is the caller's (here 1 ms, so that the case costs
// no time; PRINTXPC_HANDSHAKE_TIMEOUT_MS in the C API).
TEST(ClientAgainstHostileServer, AHandshakeThatNeverEndsTimesOut) {
  const struct {
    const char* name;
    std::vector<std::string> answers;
  } rows[] = {
      {"nothing answered", {}},
      {"three header bytes, then nothing", {kWelcome.substr(0, 3)}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HostileServer server(row.answers);
    ASSERT_TRUE(server.listening());
    const auto client =
        ServiceClient::connect(server.path(), kProtocol, std::chrono::milliseconds(1));
    ASSERT_FALSE(client);
    EXPECT_EQ(client.error().code, errorCode(ClientError::kTimedOut)) << client.error().message;
  }
}

TEST(ClientReplyParsers, EveryFormAndWhatIsNoneOfThem) {
  const struct {
    std::string reply;
    int code;
    int kind;
    std::int32_t integer;
    std::string text;
    std::int32_t status;
  } snmp[] = {
      {"", PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"TRUE", PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"FALSE:", PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"TRUE:uResult.integer=", PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"TRUE:uResult.integer=+3", PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"TRUE:uResult.integer=2147483648", PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"FALSE:rtn_ExitValue=-9780x", PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"TRUE:uResult.string=" + std::string(256, 'y'), PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"TRUE:uResult.string=\xff", PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"FALSE", PRINTXPC_OK, PRINTXPC_SNMP_KIND_FALSE},
      {"TRUE:uResult.integer=-2147483648", PRINTXPC_OK, PRINTXPC_SNMP_KIND_INTEGER, INT32_MIN},
      {"TRUE:uResult.string=", PRINTXPC_OK, PRINTXPC_SNMP_KIND_TEXT, 0, ""},
      {"TRUE:uResult.string=" + std::string(255, 'y'), PRINTXPC_OK, PRINTXPC_SNMP_KIND_TEXT, 0,
       std::string(255, 'y')},
      {"TRUE:uResult.string=Bür\xc3\xb6:TRUE", PRINTXPC_OK, PRINTXPC_SNMP_KIND_TEXT, 0,
       "Bür\xc3\xb6:TRUE"},
      {"FALSE:rtn_ExitValue=-1", PRINTXPC_OK, PRINTXPC_SNMP_KIND_FAILURE, 0, "",
       PRINTXPC_SNMP_STATUS_CANCELLED},
      {"FALSE:rtn_ExitValue=-50", PRINTXPC_OK, PRINTXPC_SNMP_KIND_FAILURE, 0, "",
       PRINTXPC_SNMP_STATUS_UNKNOWN_KIND},
  };
  for (const auto& c : snmp) {
    SCOPED_TRACE(c.reply);
    printxpc_snmp_result result;
    std::memset(&result, 0x5A, sizeof(result));
    printxpc_error error{};
    ASSERT_EQ(printxpc_parse_snmp_get_reply(c.reply.data(), c.reply.size(), &result, &error),
              c.code)
        << error.message;
    if (c.code == PRINTXPC_OK) {
      EXPECT_EQ(result.kind, c.kind);
      EXPECT_EQ(result.integer, c.integer);
      EXPECT_EQ(std::string(result.text, result.text_length), c.text);
      EXPECT_EQ(result.text[result.text_length], '\0');
      EXPECT_EQ(result.status, c.status);
    }
  }
  const struct {
    std::string reply;
    int booleanCode;
    int integerCode;
    std::int32_t integer;
  } simple[] = {
      {"TRUE", PRINTXPC_OK, PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"FALSE", PRINTXPC_OK, PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"true", PRINTXPC_ERR_UNEXPECTED_REPLY, PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"TRUE\n", PRINTXPC_ERR_UNEXPECTED_REPLY, PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"-1", PRINTXPC_ERR_UNEXPECTED_REPLY, PRINTXPC_OK, -1},
      {"0", PRINTXPC_ERR_UNEXPECTED_REPLY, PRINTXPC_OK, 0},
      {" 0", PRINTXPC_ERR_UNEXPECTED_REPLY, PRINTXPC_ERR_UNEXPECTED_REPLY},
      {"", PRINTXPC_ERR_UNEXPECTED_REPLY, PRINTXPC_ERR_UNEXPECTED_REPLY},
  };
  for (const auto& c : simple) {
    SCOPED_TRACE(c.reply);
    bool flag = false;
    std::int32_t number = 99;
    EXPECT_EQ(printxpc_parse_boolean_reply(c.reply.data(), c.reply.size(), &flag, nullptr),
              c.booleanCode);
    if (c.booleanCode == PRINTXPC_OK) {
      EXPECT_EQ(flag, c.reply == "TRUE");
    }
    EXPECT_EQ(printxpc_parse_integer_reply(c.reply.data(), c.reply.size(), &number, nullptr),
              c.integerCode);
    if (c.integerCode == PRINTXPC_OK) {
      EXPECT_EQ(number, c.integer);
    }
  }
}

}  // namespace
}  // namespace printxpc::test_support
