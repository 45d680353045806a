// An SNMPv1 message: the records of a GetRequest and their encoding (instance side,
// snmp_message.cpp), and the reading operations on a received message (class side, no
// instance state, snmp_message_extract.cpp).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "snmp/ber.h"
#include "snmp/inline_vector.h"
#include "snmp/snmp_response.h"
#include "snmp/snmp_text.h"
#include "snmp/snmp_var.h"
#include "snmp/value_text.h"

namespace printxpc {

class SNMPMessage {
 public:
  // An OID text is shorter than this.
  static constexpr std::size_t kMaxOidTextLength = 256;
  // More varbinds than this can never make a message within the two-byte outer length;
  // a longer list makes no message.
  static constexpr std::size_t kMaxVarbinds = 65535;
  // A one-OID request is at most about 800 bytes; longer lists move to the heap.
  static constexpr std::size_t kInlineDataCapacity = 1024;

  SNMPMessage() {}

  // --- Records -------------------------------------------------------------------------
  const SnmpVar& message() const { return message_; }
  const SnmpVar& version() const { return version_; }
  const SnmpVar& communityString() const { return communityString_; }
  const SnmpVar& pdu() const { return pdu_; }
  const SnmpVar& requestId() const { return requestId_; }
  const SnmpVar& error() const { return error_; }
  const SnmpVar& errorIndex() const { return errorIndex_; }
  const SnmpVar& varbindList() const { return varbindList_; }
  const SnmpVar& varbind() const { return varbind_; }
  std::int32_t varbindCount() const { return static_cast<std::int32_t>(varbindOids_.size()); }
  std::span<const SnmpVar> varbindOids() const { return varbindOids_.items(); }
  std::span<const SnmpVar> varbindValues() const { return varbindValues_.items(); }

  // The encoded message; empty until written, and after a write that failed its check.
  std::span<const std::uint8_t> data() const { return data_.items(); }
  void setData(std::span<const std::uint8_t> bytes);

  // Tag, length and a private copy of the content (nothing for no content). A span
  // shorter than `length` leaves the content incomplete, which the writer reports.
  // (The setters are defined inline: the builder calls them once each per request.)
  void setSnmpVar(SnmpVar& var, std::uint8_t type, std::uint8_t length,
                  std::optional<std::span<const std::uint8_t>> value) {
    var.type = type;
    var.length = length;
    var.releaseValue();
    if (value) {
      var.setValue(value->first(std::min<std::size_t>(length, value->size())));
    }
  }
  // Tag and length only; the content stays as it is.
  void setSnmpVar(SnmpVar& var, std::uint8_t type, std::uint8_t length) {
    var.type = type;
    var.length = length;
  }

  void setMessageSequenceLength(std::uint8_t length) {
    setSnmpVar(message_, ber::kSequence, length);
  }
  void setVersion(std::uint8_t version) { setOneByteInteger(version_, version); }
  // The community's bytes, whole, with their full length. One longer than a message can
  // hold (65535 content bytes) makes the next write produce nothing.
  void setCommunityString(std::string_view community);
  void setPduWithType(std::uint8_t type, std::uint8_t length) { setSnmpVar(pdu_, type, length); }
  void setRequestId(std::span<const std::uint8_t> bytes, std::uint8_t type, std::uint8_t length) {
    setSnmpVar(requestId_, type, length, bytes);
  }
  void setError(std::uint8_t error) { setOneByteInteger(error_, error); }
  void setErrorIndex(std::uint8_t errorIndex) { setOneByteInteger(errorIndex_, errorIndex); }
  void setVarbindListSequenceLength(std::uint8_t length) {
    setSnmpVar(varbindList_, ber::kSequence, length);
  }
  void setVarbindSequenceLength(std::uint8_t length) {
    setSnmpVar(varbind_, ber::kSequence, length);
  }

  void clearVarbind();

  // --- Encoding ------------------------------------------------------------------------
  // One arc in base 128, most significant group first; the byte count, or 0 when the
  // output is too small for it.
  static std::uint64_t seventhBitHasMoreValue(std::uint64_t value, std::span<std::uint8_t> bytes);

  // OID text to content bytes, written from the start of `bytes`; the content length,
  // or 0 for a text outside the limits (see isOidWithinLimits). Bytes after the content
  // are not written.
  static std::uint64_t copyOid(std::string_view oid,
                               std::span<std::uint8_t, SnmpVar::kCapacity> bytes);

  // The content length that copyOid gives for the text; 0 for no text or one outside
  // the limits.
  static std::uint64_t getVarbindOIDLength(std::optional<std::string_view> oid);

  // Dotted decimal, shorter than 256 characters, at least two arcs, first arc 0 to 2 and
  // not empty, second arc at most 39 under 0 and 1, every arc at most 2147483647. Each arc
  // is read as atoi reads a number (leading blanks, one sign, the digits up to the first
  // other character), but must hold a digit and must not be negative; a NUL byte anywhere
  // refuses the text. An empty arc after the first is 0 and a trailing dot adds nothing.
  static bool isOidWithinLimits(std::string_view oid);

  // Replaces the varbind list: one OBJECT IDENTIFIER name with a NULL value per text. A
  // list longer than kMaxVarbinds (or one whose memory cannot be had) is dropped, and the
  // next write makes no message.
  void setVarbindOidsWithNilValues(std::span<const std::string_view> oids);

  // Encoded size of an element with `length` content bytes.
  static std::int32_t getTotalByteCount(std::int32_t length);

  void autoComputeLength();

  // Appends one record; -1 when a content-bearing record lacks its content.
  std::int64_t copyVar(const SnmpVar& var);

  bool isSnmpValid() const;

  // Rebuilds data from the records; data is left empty when the result fails its check.
  void writeSnmpMessageToData();

  // --- Reading -------------------------------------------------------------------------
  // Every position at which the varbind pattern of nextVarbind (snmp_response.h) matches.
  static std::vector<OidPositionAndLength> extractAllOIDPositionAndLengthFromMessage(
      std::span<const std::uint8_t> message);

  // The first varbind of the scan above, without building the list. Writes the outputs
  // and returns true only when one is found.
  static bool extractOIDPositionAndLengthFromMessage(std::span<const std::uint8_t> message,
                                                     std::uint64_t& oidPositionIndex,
                                                     std::uint64_t& oidLengthIndex,
                                                     std::uint64_t& oidLengthValue);

  // The request id of a GetResponse (message SEQUENCE, version, community, PDU 0xA2,
  // request-id INTEGER of 1 to 8 bytes), as the integer value that the agent encoded;
  // nothing for any other datagram. Found by walking the structure, unlike the varbinds.
  static std::optional<std::int64_t> getResponseRequestId(std::span<const std::uint8_t> message);

  // Dotted text of an OBJECT IDENTIFIER's content; nothing for no content, an unfinished
  // group or a subidentifier past 32 bits.
  static std::optional<SnmpText> convertOIDDataToString(std::span<const std::uint8_t> oid);

  // The value whose tag is at valueTypeIndex as text; `type` always receives a code.
  static std::optional<SnmpText> extractValueStringFromMessage(
      std::span<const std::uint8_t> message, std::uint64_t valueTypeIndex, std::uint8_t& type);
  // The same text, except that the unsigned types give the empty string.
  static std::optional<SnmpText> extractValueStringFromMessage(
      std::span<const std::uint8_t> message, std::uint64_t valueTypeIndex);

  // A copy of the content bytes of the value whose tag is at valueTypeIndex, any tag.
  static std::optional<std::vector<std::uint8_t>> extractValueDataFromMessage(
      std::span<const std::uint8_t> message, std::uint64_t valueTypeIndex);

  // Convenience operations on the first varbind. A missing message or community makes
  // them do nothing (false); the community is not compared with the message's.
  static void extractSysIDFromMsg(std::optional<std::span<const std::uint8_t>> message,
                                  std::string& sysID);
  static bool extractStringFromMsg(std::optional<std::span<const std::uint8_t>> message,
                                   std::optional<std::string_view> community,
                                   std::string& contents);
  static bool extractDataFromMsg(std::optional<std::span<const std::uint8_t>> message,
                                 std::optional<std::string_view> community,
                                 std::vector<std::uint8_t>& contents);
  static bool extractStringFromMsg(std::optional<std::span<const std::uint8_t>> message,
                                   std::optional<std::string_view> community, std::string& nextOID,
                                   std::string& contents);
  // Appends one entry to each list per varbind of the scan, false matches included.
  static void extractAllStringsFromMsg(std::optional<std::span<const std::uint8_t>> message,
                                       std::optional<std::string_view> community,
                                       std::vector<std::string>& oids,
                                       std::vector<std::string>& contents);

 private:
  void setOneByteInteger(SnmpVar& var, std::uint8_t value) {
    const std::array<std::uint8_t, 1> byte{value};
    setSnmpVar(var, ber::kInteger, 1, byte);
  }

  SnmpVar message_;
  SnmpVar version_;
  SnmpVar communityString_;
  SnmpVar pdu_;
  SnmpVar requestId_;
  SnmpVar error_;
  SnmpVar errorIndex_;
  SnmpVar varbindList_;
  SnmpVar varbind_;
  InlineVector<SnmpVar, 1> varbindOids_;
  InlineVector<SnmpVar, 1> varbindValues_;
  // Set when the varbind arrays could not be had; the next write then produces nothing.
  bool varbindsIncomplete_ = false;
  InlineVector<std::uint8_t, kInlineDataCapacity> data_;
  // The bytes of a community too long for its record's inline bytes.
  std::unique_ptr<std::uint8_t[]> longCommunity_;
};

}  // namespace printxpc
