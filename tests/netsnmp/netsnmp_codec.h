// net-snmp's library as an independent encoder and decoder of SNMPv1 messages, for the
// cross-check tests and the codec benchmark. Never linked into the product.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace printxpc::netsnmp {

struct PduDeleter {
  void operator()(netsnmp_pdu* pdu) const { snmp_free_pdu(pdu); }
};
using PduPtr = std::unique_ptr<netsnmp_pdu, PduDeleter>;

// A session that only carries the defaults that snmp_build and snmp_parse read.
inline netsnmp_session& session() {
  static netsnmp_session instance = [] {
    netsnmp_session s;
    snmp_sess_init(&s);
    s.version = SNMP_VERSION_1;
    return s;
  }();
  return instance;
}

// Dotted text to arcs as net-snmp holds them; an empty arc is 0 and a trailing dot adds
// nothing (the encoder's rule for those, written out independently).
inline std::vector<oid> arcsOf(std::string_view text) {
  std::vector<oid> arcs;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t dot = text.find('.', start);
    const std::size_t end = dot == std::string_view::npos ? text.size() : dot;
    if (dot == std::string_view::npos && start == text.size()) break;
    arcs.push_back(std::strtoul(std::string(text.substr(start, end - start)).c_str(), nullptr, 10));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return arcs;
}

// A PDU of the given command with version 1, the community and the request id.
inline PduPtr makePdu(int command, std::string_view community, long requestId) {
  PduPtr pdu(snmp_pdu_create(command));
  pdu->version = SNMP_VERSION_1;
  pdu->community = static_cast<u_char*>(std::malloc(community.size() + 1));
  std::memcpy(pdu->community, community.data(), community.size());
  pdu->community_len = community.size();
  pdu->reqid = requestId;
  return pdu;
}

// The message bytes of a PDU; net-snmp's own reverse encoder gives the minimal length
// forms (0x81 n), its forward encoder the 0x82 hi lo form for every SEQUENCE.
inline std::optional<std::vector<std::uint8_t>> build(netsnmp_pdu* pdu, bool forward) {
  if (forward) {
    pdu->flags |= UCD_MSG_FLAG_FORWARD_ENCODE;
  }
  size_t capacity = 4096;
  size_t length = 0;
  u_char* packet = static_cast<u_char*>(std::malloc(capacity));
  const int result = snmp_build(&packet, &capacity, &length, &session(), pdu);
  std::optional<std::vector<std::uint8_t>> bytes;
  if (result == 0) {
    // The forward encoder leaves the length in `capacity`, the reverse one in `length`
    // with the bytes at the end of the buffer.
    const u_char* start = forward ? packet : packet + capacity - length;
    bytes.emplace(start, start + (forward ? capacity : length));
  }
  std::free(packet);
  return bytes;
}

// A whole message parsed by net-snmp, or nothing when it refuses it.
inline PduPtr parse(std::span<const std::uint8_t> bytes) {
  PduPtr pdu(snmp_pdu_create(0));
  std::vector<u_char> copy(bytes.begin(), bytes.end());
  if (snmp_parse(nullptr, &session(), pdu.get(), copy.data(), copy.size()) != 0) {
    return nullptr;
  }
  return pdu;
}

}  // namespace printxpc::netsnmp
