// One encoded element of an SNMP message: its tag, its content length and the content
// bytes that it owns.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "snmp/byte_copy.h"

namespace printxpc {

class SnmpVar {
 public:
  // Every setter length is 8-bit and an OID buffer is 256 bytes, so the bytes of nearly
  // every record fit inline; only a long community lies outside (see pointTo).
  static constexpr std::size_t kCapacity = 256;
  // The most content that a two-byte length can state; a record keeps no more.
  static constexpr std::size_t kMaxContent = 65535;

  SnmpVar() {}  // user-provided: the inline bytes are not zeroed

  // Copies carry only the bytes in use.
  SnmpVar(const SnmpVar& other) { *this = other; }
  SnmpVar& operator=(const SnmpVar& other) {
    if (this == &other) {
      return *this;
    }
    type = other.type;
    length = other.length;
    copyBytes(bytes_.data(), other.bytes_.data(), other.outside_ ? 0 : other.stored_);
    stored_ = other.stored_;
    hasValue_ = other.hasValue_;
    outside_ = other.outside_;
    return *this;
  }

  std::uint8_t type = 0;

 private:
  // Next to the public fields, so that a new record is set up with one store.
  bool hasValue_ = false;
  std::uint16_t stored_ = 0;

 public:
  std::uint32_t length = 0;

  // The content bytes, or nothing when the record carries none.
  std::optional<std::span<const std::uint8_t>> value() const {
    if (!hasValue_) {
      return std::nullopt;
    }
    return std::span<const std::uint8_t>(outside_ != nullptr ? outside_ : bytes_.data(), stored_);
  }

  // Replaces the content with a private copy of at most kCapacity bytes.
  void setValue(std::span<const std::uint8_t> bytes) {
    stored_ = static_cast<std::uint16_t>(std::min(bytes.size(), kCapacity));
    copyBytes(bytes_.data(), bytes.data(), stored_);
    hasValue_ = true;
    outside_ = nullptr;
  }

  // Makes bytes that the record's owner keeps (at most kMaxContent of them) the content.
  // The record only points to them, and so does any copy of it: they must outlive both.
  // (An owning pointer here would give every record a destructor, which costs the encoder
  // a fifth of its time for the one record that ever needs it.)
  void pointTo(std::span<const std::uint8_t> bytes) {
    stored_ = static_cast<std::uint16_t>(std::min(bytes.size(), kMaxContent));
    hasValue_ = true;
    outside_ = bytes.data();
  }

  // The record's own buffer, handed out for writing a new content into it; keepBuffer
  // then makes its first `count` bytes the content.
  std::span<std::uint8_t, kCapacity> writableBuffer() { return bytes_; }
  void keepBuffer(std::size_t count) {
    stored_ = static_cast<std::uint16_t>(std::min(count, kCapacity));
    hasValue_ = true;
    outside_ = nullptr;
  }

  void releaseValue() {
    stored_ = 0;
    hasValue_ = false;
    outside_ = nullptr;
  }

 private:
  const std::uint8_t* outside_ = nullptr;  // content kept by the owner, or null
  std::array<std::uint8_t, kCapacity> bytes_;
};

}  // namespace printxpc
