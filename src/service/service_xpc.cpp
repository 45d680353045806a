#include "service/service_xpc.h"

#include <string>

#include "files/file_access.h"
#include "probes/icmp_echo.h"
#include "probes/wake_on_lan.h"
#include "protocol/replies.h"
#include "protocol/requests.h"

namespace printxpc {

void OrvaneServiceXPC::isFilePathWritable_XPC(std::string_view request, const Reply& reply) {
  reply(replies::boolean(printxpc::isFilePathWritable_XPC(request)));
}

void OrvaneServiceXPC::writeDictionaryToPlistFile_XPC(std::string_view request,
                                                      const Reply& reply) {
  const auto parsed = requests::parsePlistWrite(request);
  if (!parsed) {
    reply(replies::kFalse);
    return;
  }
  const auto url = Url::parse(parsed->url);
  if (!url) {
    reply(replies::kFalse);
    return;
  }
  reply(replies::boolean(printxpc::writeDictionaryToPlistFile_XPC(*url, parsed->contents)));
}

void OrvaneServiceXPC::sendMagicPacket_XPC(std::string_view request, const Reply& reply) {
  const auto parsed = requests::parseMagicPacket(request);
  // Fields without a start (a marker missing before a present one) are refused.
  const std::int32_t result =
      parsed ? SendMagicPacket(parsed->address, parsed->mac, parsed->password) : -1;
  reply(std::to_string(result));
}

void OrvaneServiceXPC::sendEchoAndRecvReply_XPC(std::string_view request, const Reply& reply) {
  const auto parsed = requests::parseEcho(request);
  if (!parsed) {
    reply(replies::kFalse);
    return;
  }
  reply(replies::boolean(sendEchoAndRecvReply(parsed->address, parsed->timeoutMs)));
}

void OrvaneServiceXPC::pdeSnmpGet_XPC(std::string_view /*request*/, const Reply& reply) {
  reply(replies::kFalse);
}

void OrvaneServiceXPC::cancelFileWrite_XPC(std::string_view /*request*/, const Reply& reply) {
  reply(replies::kFalse);
}

bool OrvaneServiceXPC::isAvailable(Operation operation) {
  switch (operation) {
    case Operation::kIsFilePathWritable:
    case Operation::kWriteDictionaryToPlistFile:
    case Operation::kSendMagicPacket:
    case Operation::kSendEchoAndRecvReply:
      return true;
    case Operation::kPdeSnmpGet:
    case Operation::kCancelFileWrite:
      return false;
  }
  return false;
}

std::optional<std::string> OrvaneServiceXPC::perform(Operation operation,
                                                     std::string_view request) {
  if (!isAvailable(operation)) {
    return std::nullopt;
  }
  std::string answer;
  const Reply reply = [&answer](std::string_view text) { answer = text; };
  switch (operation) {
    case Operation::kIsFilePathWritable:
      isFilePathWritable_XPC(request, reply);
      break;
    case Operation::kWriteDictionaryToPlistFile:
      writeDictionaryToPlistFile_XPC(request, reply);
      break;
    case Operation::kSendMagicPacket:
      sendMagicPacket_XPC(request, reply);
      break;
    case Operation::kSendEchoAndRecvReply:
      sendEchoAndRecvReply_XPC(request, reply);
      break;
    case Operation::kPdeSnmpGet:
      pdeSnmpGet_XPC(request, reply);
      break;
    case Operation::kCancelFileWrite:
      cancelFileWrite_XPC(request, reply);
      break;
  }
  return answer;
}

}  // namespace printxpc
