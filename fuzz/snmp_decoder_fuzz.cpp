// Arbitrary datagrams through the one-parse record, the varbind scan, the locator and every
// value operation.
// Besides the sanitizers' findings, the operations must agree with each other.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "snmp/snmp_message.h"
#include "snmp/snmp_response.h"

namespace {

using printxpc::OidPositionAndLength;
using printxpc::SNMPMessage;

void require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

void decodeValueAt(std::span<const std::uint8_t> message, std::uint64_t v) {
  std::uint8_t type = 0xEE;
  const auto withType = SNMPMessage::extractValueStringFromMessage(message, v, type);
  const auto withoutType = SNMPMessage::extractValueStringFromMessage(message, v);
  require(type == 2 || type == 4 || type == 5 || type == 6);
  if (type != 5) {
    require(withType == withoutType);
  }
  if (v < message.size() && (message[v] == 0x05 || v == 0)) {
    require(!withType && type == 5);
  }
  const auto data = SNMPMessage::extractValueDataFromMessage(message, v);
  if (data) {
    require(data->size() < message.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::span<const std::uint8_t> message(bytes, size);

  const std::vector<OidPositionAndLength> records =
      SNMPMessage::extractAllOIDPositionAndLengthFromMessage(message);
  OidPositionAndLength first;
  const bool found = SNMPMessage::extractOIDPositionAndLengthFromMessage(
      message, first.oidPositionIndex, first.oidLengthIndex, first.oidLengthValue);
  require(found == !records.empty());
  if (found) {
    require(first == records.front());
  }
  for (const OidPositionAndLength& record : records) {
    require(record.oidPositionIndex < record.oidLengthIndex);
    require(record.oidLengthIndex < size);
    require(message[record.oidPositionIndex] == 0x06);
    decodeValueAt(message, record.oidLengthIndex + record.oidLengthValue + 1);
  }
  decodeValueAt(message, first.oidLengthIndex + first.oidLengthValue + 1);

  // The record of one parse says what the operations one at a time say.
  const printxpc::SnmpResponse response = printxpc::parseSnmpResponse(message);
  require(response.requestId == SNMPMessage::getResponseRequestId(message));
  require(response.firstVarbind.has_value() == found);
  if (found) {
    require(*response.firstVarbind == first);
  }
  std::uint8_t type = 0;
  const auto text = SNMPMessage::extractValueStringFromMessage(
      message, first.oidLengthIndex + first.oidLengthValue + 1, type);
  require(printxpc::valueTypeCode(response.value) == type);
  require(printxpc::valueText(response.value, printxpc::UnsignedForm::kNumber) == text);

  // Every position as a value, for inputs small enough to keep the run fast.
  if (size <= 256) {
    for (std::uint64_t v = 0; v <= size; ++v) {
      decodeValueAt(message, v);
    }
  }
  (void)SNMPMessage::convertOIDDataToString(message);

  std::string sysID;
  std::string contents;
  std::string nextOID;
  std::vector<std::uint8_t> data;
  std::vector<std::string> oids;
  std::vector<std::string> values;
  SNMPMessage::extractSysIDFromMsg(message, sysID);
  (void)SNMPMessage::extractStringFromMsg(message, "public", contents);
  (void)SNMPMessage::extractDataFromMsg(message, "public", data);
  (void)SNMPMessage::extractStringFromMsg(message, "public", nextOID, contents);
  SNMPMessage::extractAllStringsFromMsg(message, "public", oids, values);
  require(oids.size() == records.size() && values.size() == records.size());
  return 0;
}
