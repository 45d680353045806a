#include "service/core/service_xpc.h"

#include <algorithm>
#include <string>
#include <vector>

#include "files/cancel_file.h"
#include "files/file_access.h"
#include "probes/icmp_echo.h"
#include "probes/wake_on_lan.h"
#include "protocol/replies.h"
#include "protocol/requests.h"
#include "protocol/text.h"
#include "snmp/snmp_get.h"

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

namespace {

std::int32_t positiveOrZero(std::optional<std::string_view> field) {
  return field ? std::max(text::toInt32(*field), 0) : 0;
}

}  // namespace

void OrvaneServiceXPC::pdeSnmpGet_XPC(std::string_view request, const Reply& reply) {
  const auto fields = requests::parseSnmpGet(request);
  // Without the first four fields nothing is known of the cancel file: refused untouched.
  if (!fields.iType || !fields.cancelFlag || !fields.cancelFileName) {
    reply(replies::kFalse);
    return;
  }
  if (!ensureCancelFile(*fields.cancelFileName)) {
    reply(replies::kFalse);
    return;
  }
  // Kept until the GET has answered, so that the watcher's cap cannot end the watch while the
  // GET may still be cancelled through it.
  CancelWatcher::Hold watchHold;
  if (!text::isNull(*fields.cancelFlag)) {
    // Stored before the watch starts, so that a cancel already waiting in the file wins.
    shared_->cancellation.signal().store(text::toInt32(*fields.cancelFlag));
    watchHold = cancelFileReadThread(std::string(*fields.cancelFileName));
  }
  if (const std::int32_t timeout = positiveOrZero(fields.timeout); timeout > 0) {
    shared_->snmp.timeoutMs = timeout;
  }
  if (const std::int32_t retries = positiveOrZero(fields.retries); retries > 0) {
    shared_->snmp.retries = retries;
  }
  const std::int32_t rtnCharFlag = fields.rtnCharFlag ? text::toInt32(*fields.rtnCharFlag) : 0;
  const auto snmpArgVector =
      fields.argList ? requests::splitSnmpArgs(*fields.argList) : std::vector<std::string_view>();
  UResult uResult;
  // A vector without the community, host and OID entries gets kSnmpNoExchange at once.
  SnmpGetOutcome outcome;
  if (snmpArgVector.size() > requests::kOidSlot) {
    outcome = PdeSnmpGet(shared_->snmp, snmpArgVector[requests::kCommunitySlot],
                         snmpArgVector[requests::kHostSlot], snmpArgVector[requests::kOidSlot],
                         uResult, text::toInt32(*fields.iType), rtnCharFlag);
  }
  reply(snmpGetReply(outcome, uResult));
}

CancelWatcher::Hold OrvaneServiceXPC::cancelFileReadThread(std::string path) {
  // A path that cannot be watched (empty, too long, no watcher thread) leaves the GET to run
  // until its answer or its timeout, as it would without a cancel file.
  return shared_->cancellation.watch(std::move(path));
}

void OrvaneServiceXPC::cancelFileWrite_XPC(std::string_view request, const Reply& reply) {
  const auto path = requests::parseCancelWrite(request);
  logCancelWrite(request, path);
  reply(replies::boolean(path && cancelFileWrite(*path)));
}

std::string OrvaneServiceXPC::perform(Operation operation, std::string_view request) {
  std::string answer;
  bool replied = false;
  // Every operation answers exactly once; should one ever answer twice, the first stands.
  const Reply reply = [&answer, &replied](std::string_view text) {
    if (!replied) {
      answer = text;
      replied = true;
    }
  };
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
