#include "snmp/snmp_result.h"

#include <algorithm>
#include <cstring>

#include "protocol/replies.h"

namespace printxpc {

std::int32_t UResult::integer() const {
  std::int32_t value = 0;
  std::memcpy(&value, bytes_.data(), sizeof(value));
  return value;
}

void UResult::setInteger(std::int32_t value) { std::memcpy(bytes_.data(), &value, sizeof(value)); }

std::string_view UResult::string() const {
  const auto* end = std::find(bytes_.begin(), bytes_.end(), '\0');
  return {bytes_.data(), static_cast<std::size_t>(end - bytes_.begin())};
}

void UResult::setString(std::string_view text) {
  static_assert(kMaxResultText == replies::kMaxSnmpText);
  const std::string_view kept = cutToResultText(text);
  std::memcpy(bytes_.data(), kept.data(), kept.size());
  bytes_[kept.size()] = '\0';
}

SnmpGetOutcome takeAnswer(const SnmpResponse& answer, UResult& uResult, std::int32_t iType,
                          std::int32_t rtnCharFlag) {
  SnmpGetOutcome outcome{kSnmpDone, valueTypeCode(answer.value)};
  switch (outcome.type) {
    case kSnmpTypeInteger:
      uResult.setInteger(integerValue(answer.value).value_or(0));
      break;
    case kSnmpTypeOctetString:
      if (const std::optional<SnmpText> text = valueText(answer.value, UnsignedForm::kNumber)) {
        uResult.setString(rtnCharFlag != 0 ? formatMacAddress(text->view()) : text->view());
      }
      break;
    case kSnmpTypeObjectIdentifier:
      if (const std::optional<SnmpText> text = valueText(answer.value, UnsignedForm::kNumber)) {
        uResult.setString(text->view());
      }
      break;
    case kSnmpTypeNull:
      // A caller that asked for a string takes NULL as the empty string.
      if (iType == kSnmpTypeOctetString) {
        outcome.type = kSnmpTypeOctetString;
      } else {
        outcome.status = kSnmpUnexpectedNull;
      }
      break;
    default:
      outcome.status = kSnmpUnexpectedType;
      break;
  }
  return outcome;
}

std::string snmpGetReply(const SnmpGetOutcome& outcome, const UResult& uResult) {
  if (outcome.status != kSnmpDone) {
    return std::string(replies::kSnmpFailurePrefix) + std::to_string(outcome.status);
  }
  switch (outcome.type) {
    case kSnmpTypeInteger:
      return std::string(replies::kSnmpIntegerPrefix) + std::to_string(uResult.integer());
    case kSnmpTypeOctetString:
    case kSnmpTypeObjectIdentifier:
      return std::string(replies::kSnmpTextPrefix) + std::string(uResult.string());
    default:
      return std::string(replies::kFalse);
  }
}

}  // namespace printxpc
