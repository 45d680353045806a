// An SNMPv1 message: the encoder of GetRequests (instance side) and the decoder of
// responses (class side, no instance state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "snmp/inline_vector.h"
#include "snmp/snmp_var.h"

namespace printxpc {

// Where the scan found a varbind's name. oidLengthIndex is the position of the last byte
// of the name's length field (the only byte, oidPositionIndex + 1, in the one-byte form),
// so the name's content always starts at oidLengthIndex + 1 and the value's tag at
// oidLengthIndex + oidLengthValue + 1.
struct OidPositionAndLength {
  std::uint64_t oidPositionIndex = 0;
  std::uint64_t oidLengthIndex = 0;
  std::uint64_t oidLengthValue = 0;

  friend bool operator==(const OidPositionAndLength&, const OidPositionAndLength&) = default;
};

// Value type codes reported by the value decoder.
inline constexpr std::uint8_t kSnmpTypeInteger = 0x02;
inline constexpr std::uint8_t kSnmpTypeOctetString = 0x04;
inline constexpr std::uint8_t kSnmpTypeNull = 0x05;
inline constexpr std::uint8_t kSnmpTypeObjectIdentifier = 0x06;

class SNMPMessage {
 public:
  // An OID text is shorter than this.
  static constexpr std::size_t kMaxOidTextLength = 256;
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
  void setSnmpVar(SnmpVar& var, std::uint8_t type, std::uint8_t length,
                  std::optional<std::span<const std::uint8_t>> value);
  // Tag and length only; the content stays as it is.
  void setSnmpVar(SnmpVar& var, std::uint8_t type, std::uint8_t length);

  void setMessageSequenceLength(std::uint8_t length);
  void setVersion(std::uint8_t version);
  // Length: the text's UTF-16 length reduced to 8 bits; content: that many leading bytes.
  void setCommunityString(std::string_view community);
  void setPduWithType(std::uint8_t type, std::uint8_t length);
  void setRequestId(std::span<const std::uint8_t> bytes, std::uint8_t type, std::uint8_t length);
  void setError(std::uint8_t error);
  void setErrorIndex(std::uint8_t errorIndex);
  void setVarbindListSequenceLength(std::uint8_t length);
  void setVarbindSequenceLength(std::uint8_t length);

  void clearVarbind();

  // --- Encoding ------------------------------------------------------------------------
  // One arc in base 128, most significant group first; the byte count, or 0 when the
  // output is too small for it.
  static std::uint64_t seventhBitHasMoreValue(std::uint64_t value, std::span<std::uint8_t> bytes);

  // OID text to content bytes; the content length, or 0 for a text outside the limits
  // (see isOidWithinLimits).
  static std::uint64_t copyOid(std::string_view oid,
                               std::span<std::uint8_t, SnmpVar::kCapacity> bytes);

  // The content length that copyOid gives for the text; 0 for no text or one outside
  // the limits.
  static std::uint64_t getVarbindOIDLength(std::optional<std::string_view> oid);

  // Dotted decimal, shorter than 256 characters, at least two arcs, first arc 0 to 2,
  // second arc at most 39 under 0 and 1, every arc at most 4294967295. An empty arc is 0
  // and a trailing dot adds nothing.
  static bool isOidWithinLimits(std::string_view oid);

  // Replaces the varbind list: one OBJECT IDENTIFIER name with a NULL value per text.
  void setVarbindOidsWithNilValues(std::span<const std::string_view> oids);

  // Encoded size of an element with `length` content bytes.
  static std::int32_t getTotalByteCount(std::int32_t length);

  void autoComputeLength();

  // Appends one record; -1 when a content-bearing record lacks its content.
  std::int64_t copyVar(const SnmpVar& var);

  bool isSnmpValid() const;

  // Rebuilds data from the records; data is left empty when the result fails its check.
  void writeSnmpMessageToData();

  // --- Decoding ------------------------------------------------------------------------
  // Every position i at which a varbind starts: a SEQUENCE tag whose length field (one
  // byte, 0x81 n or 0x82 hi lo) is followed by an OBJECT IDENTIFIER tag and its length.
  static std::vector<OidPositionAndLength> extractAllOIDPositionAndLengthFromMessage(
      std::span<const std::uint8_t> message);

  // The first varbind of the scan above, without building the list. Writes the outputs
  // and returns true only when one is found.
  static bool extractOIDPositionAndLengthFromMessage(std::span<const std::uint8_t> message,
                                                     std::uint64_t& oidPositionIndex,
                                                     std::uint64_t& oidLengthIndex,
                                                     std::uint64_t& oidLengthValue);

  // Dotted text of an OBJECT IDENTIFIER's content; nothing for no content or an
  // unfinished group.
  static std::optional<std::string> convertOIDDataToString(std::span<const std::uint8_t> oid);

  // The value whose tag is at valueTypeIndex as text; `type` always receives a code.
  static std::optional<std::string> extractValueStringFromMessage(
      std::span<const std::uint8_t> message, std::uint64_t valueTypeIndex, std::uint8_t& type);
  // The same text, except that the unsigned types give the empty string.
  static std::optional<std::string> extractValueStringFromMessage(
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
};

}  // namespace printxpc
