// Contiguous storage for the cells of one column: the first few in place,
// more in a vector. A one-subset message (a TEMP) has thousands of columns
// of one row each, where a heap block per column would cost more than the
// value; a compressed column instead adopts the walk's whole array.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvane::columnar {

template <class T, std::size_t N> class Cells {
public:
  [[nodiscard]] std::size_t size() const { return on_heap_ ? heap_.size() : local_size_; }
  [[nodiscard]] bool empty() const { return size() == 0; }
  [[nodiscard]] std::size_t capacity() const { return on_heap_ ? heap_.capacity() : N; }
  [[nodiscard]] T* data() { return on_heap_ ? heap_.data() : local_.data(); }
  [[nodiscard]] const T* data() const { return on_heap_ ? heap_.data() : local_.data(); }
  T* begin() { return data(); }
  T* end() { return data() + size(); }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size(); }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  T& back() { return data()[size() - 1]; }
  const T& back() const { return data()[size() - 1]; }

  [[gnu::always_inline]] void push_back(T value) {
    if (!on_heap_ && local_size_ < N) {
      local_[local_size_++] = value;
      return;
    }
    if (on_heap_ && heap_.size() < heap_.capacity()) {
      heap_.push_back(value);
      return;
    }
    grow_by_one(value);
  }

  void reserve(std::size_t n) {
    if (n <= capacity()) return;
    if (!on_heap_) {
      spill(n);
    } else {
      heap_.reserve(n);
    }
  }

  void resize(std::size_t n, T fill = T{}) {
    if (!on_heap_ && n <= N) {
      for (std::size_t i = local_size_; i < n; ++i) local_[i] = fill;
      local_size_ = static_cast<std::uint32_t>(n);
      return;
    }
    if (!on_heap_) spill(n);
    heap_.resize(n, fill);
  }

  void append(const T* first, const T* last) {
    reserve(size() + static_cast<std::size_t>(last - first));
    if (on_heap_) {
      heap_.insert(heap_.end(), first, last);
    } else {
      for (; first != last; ++first) local_[local_size_++] = *first;
    }
  }

  // Takes over the array of `values`.
  void adopt(std::vector<T>&& values) {
    heap_ = std::move(values);
    on_heap_ = true;
    local_size_ = 0;
  }

private:
  [[gnu::noinline]] void grow_by_one(T value) {
    if (!on_heap_) spill(N * 2);
    heap_.push_back(value);
  }

  void spill(std::size_t room) {
    heap_.reserve(std::max(room, std::size_t{local_size_}));
    heap_.assign(local_.begin(), local_.begin() + local_size_);
    on_heap_ = true;
    local_size_ = 0;
  }

  std::vector<T> heap_;
  std::array<T, N> local_{};
  std::uint32_t local_size_ = 0;
  bool on_heap_ = false;
};

} // namespace morvane::columnar
