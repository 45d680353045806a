// One encoded element of an SNMP message: its tag, its content length and the content
// bytes that it owns.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace printxpc {

class SnmpVar {
 public:
  // Every setter length is 8-bit and an OID buffer is 256 bytes, so the bytes of any
  // record fit inline.
  static constexpr std::size_t kCapacity = 256;

  SnmpVar() {}  // user-provided: the inline bytes are not zeroed until they are used

  std::uint8_t type = 0;
  std::uint32_t length = 0;

  // The owned content bytes, or nothing when the record carries none.
  std::optional<std::span<const std::uint8_t>> value() const {
    if (!hasValue_) {
      return std::nullopt;
    }
    return std::span<const std::uint8_t>(bytes_.data(), stored_);
  }

  // Replaces the content with a private copy of at most kCapacity bytes.
  void setValue(std::span<const std::uint8_t> bytes) {
    stored_ = std::min(bytes.size(), kCapacity);
    std::copy_n(bytes.begin(), stored_, bytes_.begin());
    hasValue_ = true;
  }

  // Replaces the content with a zero-filled buffer of kCapacity bytes and hands it out.
  std::span<std::uint8_t, kCapacity> setZeroedBuffer() {
    bytes_.fill(0);
    stored_ = kCapacity;
    hasValue_ = true;
    return bytes_;
  }

  void releaseValue() {
    stored_ = 0;
    hasValue_ = false;
  }

 private:
  std::array<std::uint8_t, kCapacity> bytes_;
  std::size_t stored_ = 0;
  bool hasValue_ = false;
};

}  // namespace printxpc
