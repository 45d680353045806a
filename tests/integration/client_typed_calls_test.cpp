// The C API's typed calls against a live service, one row per reply form of each operation,
// each row also sent with the typed send and its reply parsed: both ways must read the same.
// The GET's forms come from a scripted agent on 127.0.0.2, inside the private namespace.
#include <gtest/gtest.h>
#include <poll.h>

#include <fstream>
#include <string>
#include <vector>

#include "printxpc/printxpc.h"
#include "shared/wait.h"
#include "support/service_fixture.h"
#include "support/snmp_peers.h"
#include "support/test_support.h"

namespace printxpc::test_support {
namespace {

constexpr char kAgent[] = "127.0.0.2";

enum class Op { kWritable, kPlist, kMagic, kEcho, kCancel, kGet };

struct Row {
  const char* name;
  Op op;
  std::string text;            // path, URL, address or MAC: the operation's first argument
  std::string contents;        // plist contents
  printxpc_snmp_get_args get;  // kGet; host and OID set by the loop
  Bytes agentValue;            // kGet: what the agent answers (none: it stays silent)
  std::string want;            // the outcome as outcomeText() writes it
};

std::string booleanText(bool value) { return value ? "TRUE" : "FALSE"; }

std::string snmpText(const printxpc_snmp_result& result) {
  switch (result.kind) {
    case PRINTXPC_SNMP_KIND_INTEGER:
      return "integer " + std::to_string(result.integer);
    case PRINTXPC_SNMP_KIND_TEXT:
      return "text " + std::string(result.text, result.text_length);
    case PRINTXPC_SNMP_KIND_FAILURE:
      return "status " + std::to_string(result.status);
    case PRINTXPC_SNMP_KIND_FALSE:
      return "false";
    default:
      return "kind " + std::to_string(result.kind);
  }
}

std::string failed(int code, const printxpc_error& error) {
  return std::string(printxpc_error_name(code)) + ": " + error.message;
}

// The typed call of the row.
std::string call(printxpc_client* client, const Row& row) {
  printxpc_error error{};
  bool flag = false;
  std::int32_t number = 0;
  printxpc_snmp_result result{};
  int code = PRINTXPC_OK;
  const char* text = row.text.c_str();
  switch (row.op) {
    case Op::kWritable:
      code = printxpc_is_file_path_writable(client, text, &flag, &error);
      break;
    case Op::kPlist:
      code = printxpc_write_plist(client, text, row.contents.data(), row.contents.size(), &flag,
                                  &error);
      break;
    case Op::kMagic:
      code = printxpc_send_magic_packet(client, "127.0.0.1", text, nullptr, &number, &error);
      return code == PRINTXPC_OK ? std::to_string(number) : failed(code, error);
    case Op::kEcho:
      code = printxpc_send_echo(client, text, 2000, &flag, &error);
      break;
    case Op::kCancel:
      code = printxpc_cancel_file_write(client, text, &flag, &error);
      break;
    case Op::kGet:
      code = printxpc_snmp_get(client, &row.get, &result, &error);
      return code == PRINTXPC_OK ? snmpText(result) : failed(code, error);
  }
  return code == PRINTXPC_OK ? booleanText(flag) : failed(code, error);
}

// The same through the typed send, printxpc_receive() and the parser of the operation.
std::string queued(printxpc_client* client, const Row& row) {
  printxpc_error error{};
  const char* text = row.text.c_str();
  int code = PRINTXPC_OK;
  switch (row.op) {
    case Op::kWritable:
      code = printxpc_queue_is_file_path_writable(client, text, &error);
      break;
    case Op::kPlist:
      code = printxpc_queue_write_plist(client, text, row.contents.data(), row.contents.size(),
                                        &error);
      break;
    case Op::kMagic:
      code = printxpc_queue_send_magic_packet(client, "127.0.0.1", text, nullptr, &error);
      break;
    case Op::kEcho:
      code = printxpc_queue_send_echo(client, text, 2000, &error);
      break;
    case Op::kCancel:
      code = printxpc_queue_cancel_file_write(client, text, &error);
      break;
    case Op::kGet:
      code = printxpc_queue_snmp_get(client, &row.get, &error);
      break;
  }
  if (code != PRINTXPC_OK) {
    return failed(code, error);
  }
  char* reply = nullptr;
  std::size_t length = 0;
  while ((code = printxpc_receive(client, &reply, &length, &error)) == PRINTXPC_ERR_AGAIN) {
    pollfd ready{printxpc_fd(client), printxpc_events(client), 0};
    if (::poll(&ready, 1, static_cast<int>(kFailureGuard.count())) != 1) {
      return "no reply";
    }
  }
  if (code != PRINTXPC_OK) {
    return failed(code, error);
  }
  bool flag = false;
  std::int32_t number = 0;
  printxpc_snmp_result result{};
  std::string outcome;
  if (row.op == Op::kGet) {
    code = printxpc_parse_snmp_get_reply(reply, length, &result, &error);
    outcome = snmpText(result);
  } else if (row.op == Op::kMagic) {
    code = printxpc_parse_integer_reply(reply, length, &number, &error);
    outcome = std::to_string(number);
  } else {
    code = printxpc_parse_boolean_reply(reply, length, &flag, &error);
    outcome = booleanText(flag);
  }
  printxpc_free(reply);
  return code == PRINTXPC_OK ? outcome : failed(code, error);
}

printxpc_snmp_get_args getArgs(std::int32_t expectedType = 0, const char* community = nullptr) {
  printxpc_snmp_get_args args{};
  args.expected_type = expectedType;
  args.community = community;
  return args;
}

TEST(ClientTypedCalls, EveryReplyFormOfEveryOperation) {
  PRINTXPC_REQUIRE_NETNS();
  RunningService service;
  const std::string& dir = service.dir();
  // The GETs watch one cancel file, the cancel writes go to another: a write to a watched
  // file would cancel the GETs after it.
  const std::string cancelFile = dir + "/cancel";
  const std::string cancelTarget = dir + "/cancel-target";
  std::ofstream(cancelTarget).put('\0');
  printxpc_snmp_get_args noCancelFile = getArgs();
  noCancelFile.cancel_file = "/nonexistent/dir/cancel";
  printxpc_snmp_get_args raisesTheFlag = getArgs();
  raisesTheFlag.cancel_flag = 1;

  const Row rows[] = {
      // Failure forms first.
      {"writable: path too long",
       Op::kWritable,
       dir + "/" + std::string(300, 'p'),
       {},
       {},
       {},
       "FALSE"},
      {"plist: not a file URL",
       Op::kPlist,
       "http://example.invalid/x.plist",
       "<plist/>",
       {},
       {},
       "FALSE"},
      {"echo: no address", Op::kEcho, "", {}, {}, {}, "FALSE"},
      {"cancel: no such file", Op::kCancel, dir + "/missing", {}, {}, {}, "FALSE"},
      {"get: cancel file cannot be created", Op::kGet, {}, {}, noCancelFile, {}, "false"},
      {"get: cancelled", Op::kGet, {}, {}, raisesTheFlag, tlv(0x02, {3}), "status -1"},
      {"get: refused before sending (empty community)",
       Op::kGet,
       {},
       {},
       getArgs(0, ""),
       tlv(0x02, {3}),
       "status -9780"},
      {"get: NULL where an integer is expected",
       Op::kGet,
       {},
       {},
       getArgs(PRINTXPC_SNMP_EXPECT_INTEGER),
       tlv(0x05, {}),
       "status -30896"},
      // Values.
      {"writable: a new file in a writable directory",
       Op::kWritable,
       dir + "/new.pdf",
       {},
       {},
       {},
       "TRUE"},
      {"plist: written",
       Op::kPlist,
       "file://" + dir + "/settings.plist",
       "<plist/>",
       {},
       {},
       "TRUE"},
      {"magic packet: sent", Op::kMagic, "00:11:22:33:44:55", {}, {}, {}, "0"},
      {"echo: loopback answers", Op::kEcho, "127.0.0.1", {}, {}, {}, "TRUE"},
      {"cancel: appended", Op::kCancel, cancelTarget, {}, {}, {}, "TRUE"},
      {"get: integer",
       Op::kGet,
       {},
       {},
       getArgs(PRINTXPC_SNMP_EXPECT_INTEGER),
       tlv(0x02, {0xFD}),
       "integer -3"},
      {"get: text",
       Op::kGet,
       {},
       {},
       getArgs(),
       tlv(0x04, {'B', 0xC3, 0xBC, 'r', 'o'}),
       "text B\xC3\xBCro"},
      {"get: NULL read as empty text", Op::kGet, {}, {}, getArgs(), tlv(0x05, {}), "text "},
  };
  printxpc_client* client = nullptr;
  printxpc_error error{};
  ASSERT_EQ(printxpc_connect_path(service.socketPath().c_str(), "a", &client, &error), PRINTXPC_OK)
      << error.message;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Row actual = row;
    if (row.op == Op::kGet) {
      actual.get.host = kAgent;
      actual.get.oid = "1.3.6.1.2.1.1.5.0";
      if (actual.get.cancel_file == nullptr) {
        actual.get.cancel_file = cancelFile.c_str();
      }
    }
    const Bytes value = row.agentValue;
    FakeAgent agent(kAgent, [&value](const SnmpRequest& request) {
      return std::vector<Reply>{
          {getResponse(request.community, request.requestIdContent, request.oidContent, value)}};
    });
    EXPECT_EQ(call(client, actual), row.want);
    EXPECT_EQ(queued(client, actual), row.want);
  }
  printxpc_close(client);
}

}  // namespace
}  // namespace printxpc::test_support
