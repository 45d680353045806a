#include "printxpc/calls.h"

#include <utility>

#include "printxpc/operations.h"

namespace printxpc::calls {
namespace {

// Sends the request of `operation` and parses its reply with `parse`.
template <typename Parse>
auto callAndParse(ServiceClient& client, Operation operation, std::string_view request, Parse parse)
    -> decltype(parse(std::string_view())) {
  const auto reply = client.call(selectorOf(operation), request);
  if (!reply) {
    return reply.error();
  }
  return parse(*reply);
}

}  // namespace

Result<bool> isFilePathWritable(ServiceClient& client, std::string_view path) {
  return callAndParse(client, Operation::kIsFilePathWritable, requests::buildFileWritable(path),
                      replies::parseBoolean);
}

Result<bool> writePlist(ServiceClient& client, std::string_view url, std::string_view contents) {
  return callAndParse(client, Operation::kWriteDictionaryToPlistFile,
                      requests::buildPlistWrite(url, contents), replies::parseBoolean);
}

Result<std::int32_t> sendMagicPacket(ServiceClient& client, std::optional<std::string_view> address,
                                     std::optional<std::string_view> mac,
                                     std::optional<std::string_view> password) {
  return callAndParse(client, Operation::kSendMagicPacket,
                      requests::buildMagicPacket(address, mac, password), replies::parseInteger);
}

Result<bool> sendEcho(ServiceClient& client, std::string_view address, std::int64_t timeoutMs) {
  return callAndParse(client, Operation::kSendEchoAndRecvReply,
                      requests::buildEcho(address, timeoutMs), replies::parseBoolean);
}

Result<bool> cancelFileWrite(ServiceClient& client, std::string_view path) {
  return callAndParse(client, Operation::kCancelFileWrite, requests::buildCancelWrite(path),
                      replies::parseBoolean);
}

Result<replies::SnmpGetReply> snmpGet(ServiceClient& client, const requests::SnmpGetArgs& args) {
  auto request = requests::buildSnmpGet(args);
  if (!request) {
    return std::move(request).error();
  }
  return callAndParse(client, Operation::kPdeSnmpGet, *request, replies::parseSnmpGet);
}

}  // namespace printxpc::calls
