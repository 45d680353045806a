#include "protocol/requests.h"

#include <algorithm>

#include "protocol/default_paths.h"
#include "protocol/markers.h"
#include "protocol/request_string.h"
#include "protocol/text.h"

namespace printxpc::requests {
namespace {

std::optional<std::string_view> unlessNull(std::optional<std::string_view> field) {
  if (field && text::isNull(*field)) {
    return std::nullopt;
  }
  return field;
}

std::string_view orNull(std::optional<std::string_view> value) {
  return value ? *value : markers::kNull;
}

}  // namespace

std::string buildFileWritable(std::string_view path) { return std::string(path); }

std::optional<PlistWrite> parsePlistWrite(std::string_view request) {
  const RequestString parsed(request);
  const auto url = parsed.leadingField(markers::kAddUrl);
  if (!url) {
    return std::nullopt;
  }
  return PlistWrite{*url, *parsed.trailingText(markers::kAddUrl)};
}

std::string buildPlistWrite(std::string_view url, std::string_view contents) {
  return RequestBuilder().field(url, markers::kAddUrl).text(contents).str();
}

std::optional<MagicPacket> parseMagicPacket(std::string_view request) {
  const RequestString parsed(request);
  const bool hasAddress = parsed.find(markers::kIpAddress).has_value();
  const bool hasMac = parsed.find(markers::kMacAddress).has_value();
  const bool hasPassword = parsed.find(markers::kPassword).has_value();
  // Only leading markers may be present: a gap leaves the later fields without a start.
  if ((!hasAddress && (hasMac || hasPassword)) || (!hasMac && hasPassword)) {
    return std::nullopt;
  }
  MagicPacket packet;
  packet.address = unlessNull(parsed.leadingField(markers::kIpAddress));
  if (hasMac) {
    const auto mac = parsed.fieldBetween(markers::kIpAddress, markers::kMacAddress);
    if (!mac) {
      return std::nullopt;
    }
    packet.mac = unlessNull(mac);
  }
  if (hasPassword) {
    const auto password = parsed.fieldBetween(markers::kMacAddress, markers::kPassword);
    if (!password) {
      return std::nullopt;
    }
    packet.password = unlessNull(password);
  }
  return packet;
}

std::string buildMagicPacket(std::optional<std::string_view> address,
                             std::optional<std::string_view> mac,
                             std::optional<std::string_view> password) {
  return RequestBuilder()
      .field(orNull(address), markers::kIpAddress)
      .field(orNull(mac), markers::kMacAddress)
      .field(orNull(password), markers::kPassword)
      .str();
}

std::optional<Echo> parseEcho(std::string_view request) {
  const RequestString parsed(request);
  const auto address = parsed.leadingField(markers::kEchoAddress);
  if (!address) {
    return std::nullopt;
  }
  return Echo{*address, text::toInt64(*parsed.trailingText(markers::kEchoAddress))};
}

std::string buildEcho(std::string_view address, std::int64_t timeoutMs) {
  return RequestBuilder()
      .field(address, markers::kEchoAddress)
      .text(std::to_string(timeoutMs))
      .str();
}

std::optional<std::string_view> parseCancelWrite(std::string_view request) {
  return RequestString(request).leadingField(markers::kCancelFileName);
}

std::string buildCancelWrite(std::string_view path) {
  return RequestBuilder().field(path, markers::kCancelFileName).str();
}

SnmpGet parseSnmpGet(std::string_view request) {
  const RequestString parsed(request);
  SnmpGet get;
  get.iType = parsed.fieldBetween(markers::kArgCount, markers::kIType);
  get.cancelFlag = parsed.fieldBetween(markers::kIType, markers::kCancelFlag);
  get.cancelFileName = parsed.fieldBetween(markers::kCancelFlag, markers::kCancelFileName);
  get.timeout = parsed.fieldBetween(markers::kCancelFileName, markers::kSnmpTimeout);
  get.retries = parsed.fieldBetween(markers::kSnmpTimeout, markers::kSnmpRetries);
  get.rtnCharFlag = parsed.fieldBetween(markers::kSnmpRetries, markers::kRtnCharFlag);
  get.argList = parsed.trailingText(markers::kRtnCharFlag);
  return get;
}

std::vector<std::string_view> splitSnmpArgs(std::string_view argList) {
  std::vector<std::string_view> slots;
  std::size_t begin = 0;
  while (slots.size() < kSnmpArgSlots) {
    const std::size_t at = argList.find(markers::kArg, begin);
    if (at == std::string_view::npos) {
      break;
    }
    slots.push_back(argList.substr(begin, at - begin));
    begin = at + markers::kArg.size();
  }
  return slots;
}

std::string buildSnmpGet(const SnmpGetFields& fields) {
  RequestBuilder builder;
  builder.field(fields.argCount, markers::kArgCount)
      .field(std::to_string(fields.iType), markers::kIType)
      .field(fields.cancelFlag ? std::to_string(*fields.cancelFlag) : std::string(markers::kNull),
             markers::kCancelFlag)
      .field(fields.cancelFileName, markers::kCancelFileName)
      .field(std::to_string(fields.timeoutMs), markers::kSnmpTimeout)
      .field(std::to_string(fields.retries), markers::kSnmpRetries)
      .field(std::to_string(fields.rtnCharFlag), markers::kRtnCharFlag);
  for (const auto& arg : fields.args) {
    builder.field(arg, markers::kArg);
  }
  return std::move(builder).str();
}

std::vector<std::string> snmpGetArgs(std::string_view community, std::string_view host,
                                     std::string_view oid) {
  std::vector<std::string> args(8, "x");
  args[kCommunitySlot] = community;
  args[kHostSlot] = host;
  args[kOidSlot] = oid;
  return args;
}

Result<std::string> buildSnmpGet(const SnmpGetArgs& args) {
  SnmpGetFields fields;
  fields.iType = args.expectedType;
  fields.cancelFlag = args.cancelFlag;
  fields.cancelFileName = args.cancelFile;
  if (fields.cancelFileName.empty()) {
    auto path = paths::defaultCancelFile();
    if (!path) {
      return std::move(path).error();
    }
    fields.cancelFileName = std::move(*path);
  }
  fields.timeoutMs = std::max(args.timeoutMs, 0);
  fields.rtnCharFlag = args.macForm ? 1 : 0;
  fields.args = snmpGetArgs(args.community, args.host, args.oid);
  return buildSnmpGet(fields);
}

}  // namespace printxpc::requests
