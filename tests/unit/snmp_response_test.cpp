// The one parse of an answer: the request id of the structural walk and the first value
// of the pattern scan, in one record, on the worked example's GetResponse and on cut,
// altered and hand-built answers.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "snmp/snmp_response.h"
#include "snmp_test_bytes.h"

namespace printxpc {
namespace {

using test_support::ByteVector;
using test_support::concat;
using test_support::element;
using test_support::hexBytes;
using test_support::toVector;

// The worked example's GetResponse: request id 0x1234, sysObjectID.0 = 1.3.6.1.4.1.32473.1.2.
const ByteVector kAnswer = hexBytes(
    "30 31 02 01 00 04 06 70 75 62 6C 69 63 A2 24 02 02 12 34 02 01 00 02 01 00 30 18 30 16"
    "06 08 2B 06 01 02 01 01 02 00 06 0A 2B 06 01 04 01 81 FD 59 01 02");

ByteVector cut(const ByteVector& bytes, std::size_t size) {
  return ByteVector(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

// A message of the given PDU tag and request-id content, around one varbind list.
ByteVector answer(std::uint8_t pduTag, const ByteVector& requestId, const ByteVector& list) {
  const ByteVector pdu = element(
      pduTag,
      concat({element(0x02, requestId), hexBytes("02 01 00 02 01 00"), element(0x30, list)}));
  return element(0x30, concat({hexBytes("02 01 00"), element(0x04, hexBytes("70 75 62")), pdu}));
}

ByteVector varbind(const ByteVector& value) {
  return element(0x30, concat({element(0x06, hexBytes("2B 06 01")), value}));
}

struct Case {
  const char* name;
  ByteVector datagram;
  std::optional<std::int64_t> requestId;
  std::optional<std::uint64_t> varbindAt;  // the name's tag
  std::optional<std::uint8_t> valueTag;    // nothing: no value at all
  std::optional<ByteVector> valueBytes;    // nothing: the bytes are missing
};

TEST(SnmpResponse, OneParseGivesIdVarbindAndValue) {
  const ByteVector oidValue = hexBytes("2B 06 01 04 01 81 FD 59 01 02");
  // Value past the end: the value's length says 127 while the elements around it agree.
  ByteVector overlong = answer(0xA2, hexBytes("12 34"), varbind(hexBytes("04 03 61 62 63")));
  overlong[overlong.size() - 4] = 0x7F;
  const std::vector<Case> cases = {
      {"empty", {}, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      // Cut inside the value's tag and length: fewer than three bytes from its position.
      {"cut before the value's content", cut(kAnswer, 40), std::nullopt, 29, std::nullopt,
       std::nullopt},
      // Cut inside the content: the outer lengths fail the walk, the scan still finds the value.
      {"cut inside the value", cut(kAnswer, 45), std::nullopt, 29, 0x06, std::nullopt},
      // No varbind: the value is read at position 1, the outer length byte.
      {"no varbind", answer(0xA2, hexBytes("12 34"), {}), 0x1234, std::nullopt, 0x16,
       hexBytes("01 00")},
      {"id of a GetRequest", answer(0xA0, hexBytes("12 34"), varbind(hexBytes("02 01 07"))),
       std::nullopt, 26, 0x02, hexBytes("07")},
      {"id of nine bytes", answer(0xA2, ByteVector(9, 0x01), varbind(hexBytes("02 01 07"))),
       std::nullopt, 33, 0x02, hexBytes("07")},
      {"value running past the end", overlong, 0x1234, 26, 0x04, std::nullopt},
      {"worked example", kAnswer, 0x1234, 29, 0x06, oidValue},
      {"negative id", answer(0xA2, hexBytes("FF FE"), varbind(hexBytes("05 00 00"))), -2, 26, 0x05,
       ByteVector{}},
      // An IpAddress's length byte is not read: the four bytes after it are the address.
      {"IpAddress", answer(0xA2, hexBytes("01"), varbind(hexBytes("40 00 C0 00 02 0A"))), 1, 25,
       0x40, hexBytes("C0 00 02 0A")},
  };
  for (const Case& c : cases) {
    const SnmpResponse response = parseSnmpResponse(c.datagram);
    EXPECT_EQ(response.requestId, c.requestId) << c.name;
    ASSERT_EQ(response.firstVarbind.has_value(), c.varbindAt.has_value()) << c.name;
    if (c.varbindAt) {
      EXPECT_EQ(response.firstVarbind->oidPositionIndex, *c.varbindAt) << c.name;
    }
    ASSERT_EQ(response.value.has_value(), c.valueTag.has_value()) << c.name;
    if (!c.valueTag) {
      continue;
    }
    EXPECT_EQ(response.value->tag, *c.valueTag) << c.name;
    ASSERT_EQ(response.value->bytes.has_value(), c.valueBytes.has_value()) << c.name;
    if (c.valueBytes) {
      EXPECT_EQ(toVector(*response.value->bytes), *c.valueBytes) << c.name;
    }
  }
}

TEST(SnmpGetAnswerMatching, RequestIdOfGetResponsesOnly) {
  using Bytes = std::vector<std::uint8_t>;
  // 30 L | 02 01 00 | 04 01 'p' | A2 L | 02 n id... | (rest of the PDU is not read)
  const auto response = [](std::uint8_t pduTag, const Bytes& id) {
    Bytes pdu{0x02, static_cast<std::uint8_t>(id.size())};
    pdu.insert(pdu.end(), id.begin(), id.end());
    Bytes body{0x02, 0x01, 0x00, 0x04, 0x01, 'p', pduTag, static_cast<std::uint8_t>(pdu.size())};
    body.insert(body.end(), pdu.begin(), pdu.end());
    Bytes message{0x30, static_cast<std::uint8_t>(body.size())};
    message.insert(message.end(), body.begin(), body.end());
    return message;
  };
  struct Case {
    const char* name;
    Bytes datagram;
    std::optional<std::int64_t> id;
  };
  const Case cases[] = {
      {"two bytes as sent", response(0xA2, {0x34, 0x12}), 0x3412},
      {"minimal re-encoding", response(0xA2, {0x05}), 5},
      {"negative value", response(0xA2, {0xCD, 0xAB}), -12885},
      {"negative, minimal", response(0xA2, {0x80}), -128},
      {"GetRequest PDU", response(0xA0, {0x05}), std::nullopt},
      {"empty request id", response(0xA2, {}), std::nullopt},
      {"nine-byte request id", response(0xA2, Bytes(9, 1)), std::nullopt},
      {"empty datagram", {}, std::nullopt},
      {"truncated", Bytes{0x30, 0x82, 0xFF}, std::nullopt},
      {"not a sequence", Bytes{0x04, 0x00}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(responseRequestId(c.datagram), c.id) << c.name;
  }
  // The outer length may not claim more than the datagram holds.
  Bytes cut = response(0xA2, {0x01});
  cut.pop_back();
  EXPECT_EQ(responseRequestId(cut), std::nullopt);
}

}  // namespace
}  // namespace printxpc
