// The C API's typed calls, typed sends and reply parsers: C arguments become the C++ ones
// of printxpc/calls.h and printxpc/requests.h, parsed replies become C values.
#include <cstring>
#include <optional>
#include <string_view>

#include "client/c_support.h"
#include "printxpc/calls.h"
#include "printxpc/operations.h"
#include "printxpc/printxpc.h"
#include "printxpc/replies.h"
#include "printxpc/requests.h"

namespace {

using namespace printxpc::c_api;
using printxpc::Operation;
using printxpc::Result;
namespace calls = printxpc::calls;
namespace replies = printxpc::replies;
namespace requests = printxpc::requests;

static_assert(PRINTXPC_SNMP_STATUS_CANCELLED == replies::kSnmpCancelled);
static_assert(PRINTXPC_SNMP_STATUS_NO_EXCHANGE == replies::kSnmpNoExchange);
static_assert(PRINTXPC_SNMP_STATUS_NOT_EXPECTED_KIND == replies::kSnmpNotExpectedKind);
static_assert(PRINTXPC_SNMP_STATUS_UNKNOWN_KIND == replies::kSnmpUnknownKind);
static_assert(PRINTXPC_SNMP_TEXT_MAX == replies::kMaxSnmpText);

std::optional<std::string_view> optionalText(const char* text) {
  return text == nullptr ? std::nullopt : std::optional<std::string_view>(text);
}

// The C++ arguments of a GET: zero fields take the defaults of an ordinary GET.
requests::SnmpGetArgs snmpGetArgs(const printxpc_snmp_get_args& args) {
  requests::SnmpGetArgs out;
  out.host = args.host;
  out.oid = args.oid;
  if (args.community != nullptr) {
    out.community = args.community;
  }
  if (args.timeout_ms != 0) {
    out.timeoutMs = args.timeout_ms < 0 ? 0 : args.timeout_ms;
  }
  if (args.expected_type != 0) {
    out.expectedType = args.expected_type;
  }
  out.macForm = args.mac_form != 0;
  if (args.cancel_file != nullptr) {
    out.cancelFile = args.cancel_file;
  }
  out.cancelFlag =
      args.no_cancel != 0 ? std::nullopt : std::optional<std::int32_t>(args.cancel_flag);
  return out;
}

void fillSnmpResult(const replies::SnmpGetReply& reply, printxpc_snmp_result& result) {
  using Kind = replies::SnmpGetReply::Kind;
  std::memset(&result, 0, sizeof(result));
  switch (reply.kind) {
    case Kind::kInteger:
      result.kind = PRINTXPC_SNMP_KIND_INTEGER;
      break;
    case Kind::kText:
      result.kind = PRINTXPC_SNMP_KIND_TEXT;
      break;
    case Kind::kFailure:
      result.kind = PRINTXPC_SNMP_KIND_FAILURE;
      break;
    case Kind::kFalse:
      result.kind = PRINTXPC_SNMP_KIND_FALSE;
      break;
  }
  result.integer = reply.integer;
  result.status = reply.status;
  // The parser allows no longer text; the cut only guards the buffer.
  result.text_length = std::min(reply.text.size(), sizeof(result.text) - 1);
  std::memcpy(result.text, reply.text.data(), result.text_length);
}

// Hands a typed value to C through `out`.
template <typename T, typename C>
int give(const Result<T>& value, C* out, printxpc_error* error) {
  if (!value) {
    return report(error, value.error());
  }
  if constexpr (std::is_same_v<T, replies::SnmpGetReply>) {
    fillSnmpResult(*value, *out);
  } else {
    *out = *value;
  }
  return ok(error);
}

// Runs a typed call or parse whose arguments were checked by `valid`.
template <typename Body>
int typed(printxpc_error* error, bool valid, Body&& body) {
  if (!valid) {
    return invalid(error, "missing handle, argument or result place");
  }
  return guarded(error, std::forward<Body>(body));
}

int queue(printxpc_client* client, Operation operation, const std::string& request,
          printxpc_error* error) {
  const auto sent = client->client.send(printxpc::selectorOf(operation), request);
  return sent ? ok(error) : report(error, sent.error());
}

bool textOrEmpty(const char* text, std::size_t length) { return text != nullptr || length == 0; }

}  // namespace

extern "C" {

int printxpc_is_file_path_writable(printxpc_client* client, const char* path, bool* result,
                                   printxpc_error* error) {
  return typed(error, client != nullptr && path != nullptr && result != nullptr, [&] {
    return give(calls::isFilePathWritable(client->client, path), result, error);
  });
}

int printxpc_write_plist(printxpc_client* client, const char* url, const char* contents,
                         size_t length, bool* result, printxpc_error* error) {
  return typed(
      error,
      client != nullptr && url != nullptr && textOrEmpty(contents, length) && result != nullptr,
      [&] {
        return give(calls::writePlist(client->client, url, std::string_view(contents, length)),
                    result, error);
      });
}

int printxpc_send_magic_packet(printxpc_client* client, const char* address, const char* mac,
                               const char* password, int32_t* result, printxpc_error* error) {
  return typed(error, client != nullptr && result != nullptr, [&] {
    return give(calls::sendMagicPacket(client->client, optionalText(address), optionalText(mac),
                                       optionalText(password)),
                result, error);
  });
}

int printxpc_send_echo(printxpc_client* client, const char* address, int64_t timeout_ms,
                       bool* result, printxpc_error* error) {
  return typed(error, client != nullptr && address != nullptr && result != nullptr, [&] {
    return give(calls::sendEcho(client->client, address, timeout_ms), result, error);
  });
}

int printxpc_cancel_file_write(printxpc_client* client, const char* path, bool* result,
                               printxpc_error* error) {
  return typed(error, client != nullptr && path != nullptr && result != nullptr,
               [&] { return give(calls::cancelFileWrite(client->client, path), result, error); });
}

int printxpc_snmp_get(printxpc_client* client, const printxpc_snmp_get_args* args,
                      printxpc_snmp_result* result, printxpc_error* error) {
  return typed(
      error,
      client != nullptr && args != nullptr && args->host != nullptr && args->oid != nullptr &&
          result != nullptr,
      [&] { return give(calls::snmpGet(client->client, snmpGetArgs(*args)), result, error); });
}

int printxpc_parse_boolean_reply(const char* reply, size_t length, bool* result,
                                 printxpc_error* error) {
  return typed(error, textOrEmpty(reply, length) && result != nullptr, [&] {
    return give(replies::parseBoolean(std::string_view(reply, length)), result, error);
  });
}

int printxpc_parse_integer_reply(const char* reply, size_t length, int32_t* result,
                                 printxpc_error* error) {
  return typed(error, textOrEmpty(reply, length) && result != nullptr, [&] {
    return give(replies::parseInteger(std::string_view(reply, length)), result, error);
  });
}

int printxpc_parse_snmp_get_reply(const char* reply, size_t length, printxpc_snmp_result* result,
                                  printxpc_error* error) {
  return typed(error, textOrEmpty(reply, length) && result != nullptr, [&] {
    return give(replies::parseSnmpGet(std::string_view(reply, length)), result, error);
  });
}

int printxpc_queue_is_file_path_writable(printxpc_client* client, const char* path,
                                         printxpc_error* error) {
  return typed(error, client != nullptr && path != nullptr, [&] {
    return queue(client, Operation::kIsFilePathWritable, requests::buildFileWritable(path), error);
  });
}

int printxpc_queue_write_plist(printxpc_client* client, const char* url, const char* contents,
                               size_t length, printxpc_error* error) {
  return typed(error, client != nullptr && url != nullptr && textOrEmpty(contents, length), [&] {
    return queue(client, Operation::kWriteDictionaryToPlistFile,
                 requests::buildPlistWrite(url, std::string_view(contents, length)), error);
  });
}

int printxpc_queue_send_magic_packet(printxpc_client* client, const char* address, const char* mac,
                                     const char* password, printxpc_error* error) {
  return typed(error, client != nullptr, [&] {
    return queue(client, Operation::kSendMagicPacket,
                 requests::buildMagicPacket(optionalText(address), optionalText(mac),
                                            optionalText(password)),
                 error);
  });
}

int printxpc_queue_send_echo(printxpc_client* client, const char* address, int64_t timeout_ms,
                             printxpc_error* error) {
  return typed(error, client != nullptr && address != nullptr, [&] {
    return queue(client, Operation::kSendEchoAndRecvReply, requests::buildEcho(address, timeout_ms),
                 error);
  });
}

int printxpc_queue_cancel_file_write(printxpc_client* client, const char* path,
                                     printxpc_error* error) {
  return typed(error, client != nullptr && path != nullptr, [&] {
    return queue(client, Operation::kCancelFileWrite, requests::buildCancelWrite(path), error);
  });
}

int printxpc_queue_snmp_get(printxpc_client* client, const printxpc_snmp_get_args* args,
                            printxpc_error* error) {
  return typed(
      error, client != nullptr && args != nullptr && args->host != nullptr && args->oid != nullptr,
      [&] {
        const auto request = requests::buildSnmpGet(snmpGetArgs(*args));
        if (!request) {
          return report(error, request.error());
        }
        return queue(client, Operation::kPdeSnmpGet, *request, error);
      });
}

}  // extern "C"
