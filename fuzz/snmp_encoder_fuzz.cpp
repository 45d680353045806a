// Arbitrary OID and community texts through the request builder. Input: the OID text,
// a zero byte, then the community (no zero byte: the whole input is the OID text and
// the community is "public"). A built request must pass its own check, and its name
// must decode back to the OID text in canonical form.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "snmp/mib_connection.h"
#include "snmp/snmp_message.h"

namespace {

using printxpc::MIBConnection;
using printxpc::SNMPMessage;
using printxpc::SnmpVar;

void require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

// The dotted text with each arc as strtoull reads it (blanks, a sign, digits up to any
// other byte), empty arcs as 0 and no trailing dot.
std::string canonical(std::string_view oid) {
  if (!oid.empty() && oid.back() == '.') {
    oid.remove_suffix(1);
  }
  std::string text;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = oid.find('.', start);
    const std::string arc(oid.substr(start, dot == std::string_view::npos ? dot : dot - start));
    text += std::to_string(std::strtoull(arc.c_str(), nullptr, 10));
    if (dot == std::string_view::npos) {
      return text;
    }
    text += '.';
    start = dot + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(bytes), size);
  const std::size_t zero = input.find('\0');
  const std::string_view oid = input.substr(0, zero);
  const std::string_view community =
      zero == std::string_view::npos ? std::string_view("public") : input.substr(zero + 1);
  const std::uint16_t id = static_cast<std::uint16_t>(size * 0x9E37U);

  std::array<std::uint8_t, SnmpVar::kCapacity> buffer;
  const std::uint64_t length = SNMPMessage::copyOid(oid, buffer);
  const bool valid = SNMPMessage::isOidWithinLimits(oid);
  require(length == SNMPMessage::getVarbindOIDLength(oid));
  require(valid == (length > 0));
  require(length < SnmpVar::kCapacity);

  MIBConnection connection;
  const bool built = connection.requestGenericWithSingleResponse(community, nullptr, oid, id);
  require(built == (valid && !community.empty()));
  const std::span<const std::uint8_t> data = connection.msg().data();
  if (!built) {
    require(data.empty());
    return 0;
  }
  require(connection.msg().isSnmpValid());

  // The message ends with the name (06, its length, the content) and the NULL value.
  require(data.size() >= length + 4);
  require(data[data.size() - 2] == 0x05 && data[data.size() - 1] == 0x00);
  const std::span<const std::uint8_t> name = data.subspan(data.size() - 2 - length, length);
  require(std::equal(name.begin(), name.end(), buffer.begin()));
  require(SNMPMessage::convertOIDDataToString(name) == canonical(oid));
  return 0;
}
