// The encoder's requests read back by net-snmp, and net-snmp's responses read by the
// decoder: two independent implementations that must agree on every byte that matters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "netsnmp_codec.h"
#include "snmp/mib_connection.h"
#include "snmp/snmp_message.h"

namespace printxpc {
namespace {

// "1.3", then `empty` empty arcs, then `wide` arcs of 16384 (three bytes each).
std::string oidOf(std::size_t empty, std::size_t wide) {
  std::string text = "1.3" + std::string(empty, '.');
  for (std::size_t k = 0; k < wide; ++k) text += ".16384";
  return text;
}

// The request id INTEGER carries the id's bytes swapped, as the builder writes it.
long wireRequestId(std::uint16_t id) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>((id << 8) | (id >> 8)));
}

TEST(NetSnmpReadsOurRequests, CommunityRequestIdAndOid) {
  const std::vector<std::string> communities = {"public",
                                                "p",
                                                std::string(126, 'c'),
                                                std::string(127, 'c'),
                                                std::string(128, 'c'),
                                                std::string(200, 'c'),
                                                std::string(255, 'c'),
                                                "\xC3\xA9",
                                                "\x30\x41\x06 odd"};
  const std::vector<std::string> oids = {
      "1.3.6.1.2.1.1.2.0",
      "1.3.6.1.2.1.1.1.0",
      "1.3.6.1.4.1.32473.1.2",
      "1.3.6.1.2.1.300.16384.2097151.268435455.2147483647",
      "1.30.6",  // a two-digit second arc
      "0.39.1",
      "2.999.3",       // a first subidentifier of two bytes
      "2.2147483647",  // the largest arc after the first
      "1.3.6..1.",     // an empty arc and a trailing dot
      oidOf(6, 40),    // 127 content bytes
      oidOf(67, 20),   // 128 content bytes
      oidOf(101, 25),  // 177 content bytes, 128 arcs
  };
  const std::vector<std::uint16_t> ids = {0x1234, 0xABCD, 0x0000, 0x00FF, 0x7F80, 0xFFFF};
  std::size_t checked = 0;
  for (const std::string& community : communities) {
    for (const std::string& text : oids) {
      const std::uint16_t id = ids[checked % ids.size()];
      MIBConnection connection;
      ASSERT_TRUE(connection.requestGenericWithSingleResponse(community, nullptr, text, id));
      const netsnmp::PduPtr pdu = netsnmp::parse(connection.msg().data());
      ASSERT_TRUE(pdu) << "community " << community.size() << " oid " << text;
      EXPECT_EQ(pdu->version, SNMP_VERSION_1);
      EXPECT_EQ(pdu->command, SNMP_MSG_GET);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(pdu->community), pdu->community_len),
                community);
      EXPECT_EQ(pdu->reqid, wireRequestId(id));
      ASSERT_NE(pdu->variables, nullptr);
      EXPECT_EQ(pdu->variables->next_variable, nullptr);
      const std::vector<oid> arcs(pdu->variables->name,
                                  pdu->variables->name + pdu->variables->name_length);
      EXPECT_EQ(arcs, netsnmp::arcsOf(text)) << text;
      EXPECT_EQ(pdu->variables->type, ASN_NULL);
      ++checked;
    }
  }
  EXPECT_EQ(checked, communities.size() * oids.size());
}

TEST(NetSnmpReadsOurRequests, OidLengthsOfTheCases) {
  EXPECT_EQ(SNMPMessage::getVarbindOIDLength(oidOf(6, 40)), 127U);
  EXPECT_EQ(SNMPMessage::getVarbindOIDLength(oidOf(67, 20)), 128U);
  EXPECT_EQ(SNMPMessage::getVarbindOIDLength(oidOf(101, 25)), 177U);
}

std::string dotted(const std::vector<oid>& arcs) {
  std::string text;
  for (const oid arc : arcs) text += (text.empty() ? "" : ".") + std::to_string(arc);
  return text;
}

struct ValueCase {
  const char* name;
  u_char type;
  std::vector<std::uint8_t> bytes;  // the value as snmp_pdu_add_variable takes it
  std::optional<std::string> text;
  std::uint8_t code;
};

std::vector<std::uint8_t> longBytes(long value) {
  std::vector<std::uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

std::vector<std::uint8_t> textOf(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::vector<std::uint8_t> oidBytes(std::string_view text) {
  const std::vector<oid> arcs = netsnmp::arcsOf(text);
  std::vector<std::uint8_t> bytes(arcs.size() * sizeof(oid));
  std::memcpy(bytes.data(), arcs.data(), bytes.size());
  return bytes;
}

std::vector<ValueCase> valueCases() {
  const std::string description(200, 'd');
  return {
      {"integer", ASN_INTEGER, longBytes(-123), "-123", 2},
      {"integer max", ASN_INTEGER, longBytes(2147483647), "2147483647", 2},
      {"integer min", ASN_INTEGER, longBytes(-2147483648L), "-2147483648", 2},
      {"integer 255", ASN_INTEGER, longBytes(255), "255", 2},
      {"text", ASN_OCTET_STR, textOf("hello"), "hello", 4},
      {"utf-8 text", ASN_OCTET_STR,
       textOf("Dr\xC3\xBC"
              "cker"),
       "Dr\xC3\xBC"
       "cker",
       4},
      // An empty value that ends the message is read as no value.
      {"empty text", ASN_OCTET_STR, {}, std::nullopt, 5},
      {"binary", ASN_OCTET_STR, {0xAA, 0x5E, 0x60, 0xC2, 0xE1, 0x9D}, "    aa5e60c2e19d", 4},
      {"mac", ASN_OCTET_STR, {0x00, 0x00, 0x5E, 0x00, 0x53, 0x01}, "00-00-5E-00-53-01", 4},
      {"long text", ASN_OCTET_STR, textOf(description), description, 4},
      {"oid", ASN_OBJECT_ID, oidBytes("1.3.6.1.4.1.32473.1.2"), "1.3.6.1.4.1.32473.1.2", 6},
      {"oid 2.x", ASN_OBJECT_ID, oidBytes("2.999.1"), "2.999.1", 6},
      {"oid 0.x", ASN_OBJECT_ID, oidBytes("0.0.17"), "0.0.17", 6},
      {"null", ASN_NULL, {}, std::nullopt, 5},
      {"ip address", ASN_IPADDRESS, {192, 0, 2, 10}, "192.0.2.10", 5},
      {"counter32", ASN_COUNTER, longBytes(4294967295L), "4294967295", 5},
      {"gauge32", ASN_GAUGE, longBytes(65536), "65536", 5},
      {"timeticks", ASN_TIMETICKS, longBytes(123456), "123456", 5},
  };
}

TEST(WeReadNetSnmpResponses, EveryValueType) {
  const std::vector<std::string> communities = {"public", std::string(300, 'c')};
  const std::vector<std::string> names = {"1.3.6.1.2.1.1.2.0", oidOf(67, 20)};
  std::size_t checked = 0;
  for (const ValueCase& value : valueCases()) {
    for (const std::string& community : communities) {
      for (const std::string& name : names) {
        for (const bool forward : {false, true}) {
          const netsnmp::PduPtr pdu = netsnmp::makePdu(SNMP_MSG_RESPONSE, community, 0x1234);
          const std::vector<oid> arcs = netsnmp::arcsOf(name);
          ASSERT_NE(snmp_pdu_add_variable(pdu.get(), arcs.data(), arcs.size(), value.type,
                                          value.bytes.data(), value.bytes.size()),
                    nullptr);
          const auto message = netsnmp::build(pdu.get(), forward);
          ASSERT_TRUE(message) << value.name;
          const std::string where = std::string(value.name) + (forward ? " forward" : " reverse") +
                                    " community " + std::to_string(community.size()) + " name " +
                                    std::to_string(arcs.size());

          std::uint64_t position = 0;
          std::uint64_t lengthIndex = 0;
          std::uint64_t length = 0;
          ASSERT_TRUE(SNMPMessage::extractOIDPositionAndLengthFromMessage(*message, position,
                                                                          lengthIndex, length))
              << where;
          std::uint8_t code = 0;
          const std::optional<std::string> text =
              SNMPMessage::extractValueStringFromMessage(*message, lengthIndex + length + 1, code);
          EXPECT_EQ(text, value.text) << where;
          EXPECT_EQ(code, value.code) << where;

          std::string nextOID;
          std::string contents;
          SNMPMessage::extractStringFromMsg(*message, "x", nextOID, contents);
          EXPECT_EQ(nextOID, dotted(arcs)) << where;
          ++checked;
        }
      }
    }
  }
  EXPECT_EQ(checked, valueCases().size() * 8);
}

}  // namespace
}  // namespace printxpc
