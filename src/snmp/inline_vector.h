// A vector that keeps up to N elements inside the object and moves to the heap only
// beyond that, so that a one-OID request is built without touching the allocator.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <vector>

namespace printxpc {

template <typename T, std::size_t N>
class InlineVector {
 public:
  InlineVector() {}  // user-provided: the inline area is not zeroed on construction

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  std::span<T> items() { return {begin(), size_}; }
  std::span<const T> items() const { return {begin(), size_}; }

  void clear() {
    size_ = 0;
    heap_.clear();
    onHeap_ = false;
  }

  // `count` value-initialised elements; false (and empty) when the memory cannot be had.
  bool assign(std::size_t count) {
    clear();
    if (count <= N) {
      for (std::size_t i = 0; i < count; ++i) {
        std::destroy_at(&inline_[i]);  // a fresh element in place, without a copy
        std::construct_at(&inline_[i]);
      }
      size_ = count;
      return true;
    }
    if (!tryResizeHeap(count)) {
      return false;
    }
    onHeap_ = true;
    size_ = count;
    return true;
  }

  // Appends the elements; false (and unchanged) when the memory cannot be had.
  bool append(std::span<const T> elements) {
    if (!onHeap_ && elements.size() <= N - size_) {
      std::copy(elements.begin(), elements.end(), inline_.data() + size_);
      size_ += elements.size();
      return true;
    }
    return appendOnHeap(elements);
  }

  // Makes room for `count` more elements and hands them out for writing; an empty span
  // (and no change) when the memory cannot be had.
  std::span<T> grow(std::size_t count) {
    if (!onHeap_ && count <= N - size_) {
      const std::size_t start = size_;
      size_ += count;
      return {inline_.data() + start, count};
    }
    return growOnHeap(count);
  }

  // Keeps the first `count` elements (no change when there are fewer).
  void truncate(std::size_t count) {
    if (count >= size_) {
      return;
    }
    size_ = count;
    if (onHeap_) {
      heap_.resize(count);
    }
  }

  bool push_back(const T& element) {
    if (!onHeap_ && size_ < N) {
      inline_[size_++] = element;
      return true;
    }
    return appendOnHeap(std::span<const T>(&element, 1));
  }

 private:
  T* begin() { return onHeap_ ? heap_.data() : inline_.data(); }
  const T* begin() const { return onHeap_ ? heap_.data() : inline_.data(); }

  // Kept out of line so that the inline path stays small.
  [[gnu::noinline]] bool appendOnHeap(std::span<const T> elements) {
    const std::size_t total = size_ + elements.size();
    if (!onHeap_) {
      if (!tryReserveHeap(std::max(total, 2 * N))) {
        return false;
      }
      heap_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(size_));
      onHeap_ = true;
    } else if (!tryReserveHeap(total)) {
      return false;
    }
    heap_.insert(heap_.end(), elements.begin(), elements.end());
    size_ = total;
    return true;
  }

  [[gnu::noinline]] std::span<T> growOnHeap(std::size_t count) {
    const std::size_t start = size_;
    const std::vector<T> filler(count);
    if (!appendOnHeap(filler)) {
      return {};
    }
    return items().subspan(start, count);
  }

  // The only place that can meet an allocation failure; it reports it instead of throwing.
  template <typename Grow>
  static bool withoutThrowing(Grow&& grow) {
    try {
      grow();
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    } catch (const std::length_error&) {
      return false;
    }
  }

  bool tryReserveHeap(std::size_t count) {
    return withoutThrowing([&] {
      if (heap_.capacity() < count) {
        heap_.reserve(std::max(count, 2 * heap_.capacity()));
      }
    });
  }

  bool tryResizeHeap(std::size_t count) {
    return withoutThrowing([&] { heap_.resize(count); });
  }

  std::array<T, N> inline_;
  std::vector<T> heap_;
  std::size_t size_ = 0;
  bool onHeap_ = false;
};

}  // namespace printxpc
