// The owned text of a decoded value. Most values (numbers, addresses, object identifiers of
// the usual length, short strings) fit inline, so decoding them allocates nothing; longer
// texts are kept on the heap.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace printxpc {

class SnmpText {
 public:
  static constexpr std::size_t kInlineCapacity = 64;

  SnmpText() {}
  explicit SnmpText(std::string_view text) {
    std::memcpy(prepare(text.size()), text.data(), text.size());
  }
  SnmpText(const SnmpText& other) : SnmpText(other.view()) {}
  SnmpText& operator=(const SnmpText& other) {
    if (this != &other) {
      std::memcpy(prepare(other.size()), other.data(), other.size());
    }
    return *this;
  }
  SnmpText(SnmpText&& other) noexcept { *this = std::move(other); }
  SnmpText& operator=(SnmpText&& other) noexcept {
    if (this != &other) {
      if (other.onHeap_) {
        heap_ = std::move(other.heap_);
        onHeap_ = true;
      } else {
        std::memcpy(inline_.data(), other.inline_.data(), other.size_);
        onHeap_ = false;
      }
      size_ = other.size_;
      other.size_ = 0;
    }
    return *this;
  }
  ~SnmpText() = default;

  // Room for `size` characters, to be written in place; the previous text is lost.
  char* prepare(std::size_t size) {
    size_ = size;
    onHeap_ = size > kInlineCapacity;
    if (!onHeap_) {
      return inline_.data();
    }
    heap_.resize(size);
    return heap_.data();
  }

  // Keeps the first `size` characters (no change when there are fewer).
  void shrink(std::size_t size) {
    if (size < size_) {
      size_ = size;
    }
  }

  const char* data() const { return onHeap_ ? heap_.data() : inline_.data(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {data(), size_}; }
  std::string str() const { return std::string(view()); }

  // Implicit, so that the text reads wherever a string view or a string is taken.
  operator std::string_view() const { return view(); }
  operator std::string() const { return str(); }

  friend bool operator==(const SnmpText& text, std::string_view other) {
    return text.view() == other;
  }
  friend bool operator==(const SnmpText& a, const SnmpText& b) { return a.view() == b.view(); }

 private:
  std::array<char, kInlineCapacity> inline_;  // not zeroed: only the first size_ are read
  std::string heap_;
  std::size_t size_ = 0;
  bool onHeap_ = false;
};

}  // namespace printxpc
