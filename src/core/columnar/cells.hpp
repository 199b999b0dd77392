// Contiguous storage for the cells of one column: the first few in place,
// a few more in the batch's arena, more in a vector. A one-subset message (a TEMP) has thousands of columns
// of one row each, where a heap block per column would cost more than the
// value; a compressed column instead adopts the walk's whole array.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace morvane::columnar {

// Storage for the short columns of one batch, all freed with it: the
// columns of a run of a few one-subset messages need room for a few rows
// each, and a heap block per column would cost more than its values.
class CellArena {
public:
  // The most a column takes from the arena; longer ones have their own block.
  static constexpr std::size_t kMaxBytes = 512;

  // `bytes` (at most kMaxBytes) aligned for any cell type.
  void* allocate(std::size_t bytes) {
    bytes = (bytes + 7U) & ~std::size_t{7};
    if (bytes > left_) refill();
    void* at = next_;
    next_ += bytes;
    left_ -= bytes;
    return at;
  }

private:
  static constexpr std::size_t kBlockWords = 8192;
  [[gnu::noinline]] void refill() {
    blocks_.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(kBlockWords));
    next_ = reinterpret_cast<std::byte*>(blocks_.back().get());
    left_ = kBlockWords * sizeof(std::uint64_t);
  }

  std::vector<std::unique_ptr<std::uint64_t[]>> blocks_;
  std::byte* next_ = nullptr;
  std::size_t left_ = 0;
};

template <class T, std::size_t N> class Cells {
public:
  Cells() = default;
  Cells(const Cells&) = delete;
  Cells& operator=(const Cells&) = delete;
  Cells(Cells&& other) noexcept { take(std::move(other)); }
  Cells& operator=(Cells&& other) noexcept {
    if (this != &other) take(std::move(other));
    return *this;
  }
  ~Cells() = default;

  [[nodiscard]] std::size_t size() const { return mode_ == Mode::Heap ? heap_.size() : size_; }
  [[nodiscard]] bool empty() const { return size() == 0; }
  [[nodiscard]] std::size_t capacity() const {
    return mode_ == Mode::Heap ? heap_.capacity() : mode_ == Mode::Arena ? room_ : N;
  }
  [[nodiscard]] T* data() {
    return mode_ == Mode::Heap ? heap_.data() : mode_ == Mode::Arena ? outside_ : local_.data();
  }
  [[nodiscard]] const T* data() const {
    return mode_ == Mode::Heap ? heap_.data() : mode_ == Mode::Arena ? outside_ : local_.data();
  }
  T* begin() { return data(); }
  T* end() { return data() + size(); }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size(); }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  T& back() { return data()[size() - 1]; }
  const T& back() const { return data()[size() - 1]; }

  [[gnu::always_inline]] void push_back(T value) {
    if (mode_ == Mode::Local && size_ < N) {
      local_[size_++] = value;
      return;
    }
    if (mode_ == Mode::Arena && size_ < room_) {
      outside_[size_++] = value;
      return;
    }
    if (mode_ == Mode::Heap && heap_.size() < heap_.capacity()) {
      heap_.push_back(value);
      return;
    }
    grow_by_one(value);
  }

  void clear() {
    heap_.clear();
    size_ = 0;
  }

  void reserve(std::size_t n) {
    if (n <= capacity()) return;
    if (mode_ != Mode::Heap) {
      spill(n);
    } else {
      heap_.reserve(n);
    }
  }

  // Room for `n` cells, taken from `arena` while short.
  void reserve(std::size_t n, CellArena& arena) {
    if (n <= capacity()) return;
    if (mode_ == Mode::Heap || n * sizeof(T) > CellArena::kMaxBytes) {
      reserve(n);
      return;
    }
    T* room = static_cast<T*>(arena.allocate(n * sizeof(T)));
    std::copy(data(), data() + size_, room);
    outside_ = room;
    room_ = static_cast<std::uint32_t>(n);
    mode_ = Mode::Arena;
  }

  void resize(std::size_t n, T fill = T{}) {
    if (mode_ != Mode::Heap && n <= capacity()) {
      T* at = data();
      for (std::size_t i = size_; i < n; ++i) at[i] = fill;
      size_ = static_cast<std::uint32_t>(n);
      return;
    }
    if (mode_ != Mode::Heap) spill(n);
    heap_.resize(n, fill);
  }

  void append(const T* first, const T* last) {
    reserve(size() + static_cast<std::size_t>(last - first));
    if (mode_ == Mode::Heap) {
      heap_.insert(heap_.end(), first, last);
    } else {
      T* at = data();
      for (; first != last; ++first) at[size_++] = *first;
    }
  }

  // Takes over the array of `values`.
  void adopt(std::vector<T>&& values) {
    heap_ = std::move(values);
    mode_ = Mode::Heap;
    size_ = 0;
  }

private:
  enum class Mode : std::uint8_t { Local, Arena, Heap };

  [[gnu::noinline]] void grow_by_one(T value) {
    if (mode_ != Mode::Heap) spill(std::max(capacity() * 2, N * 2));
    heap_.push_back(value);
  }

  void spill(std::size_t room) {
    const T* at = data();
    heap_.reserve(std::max(room, std::size_t{size_}));
    heap_.assign(at, at + size_);
    mode_ = Mode::Heap;
    size_ = 0;
  }

  void take(Cells&& other) {
    heap_ = std::move(other.heap_);
    local_ = other.local_;
    outside_ = other.outside_;
    size_ = other.size_;
    room_ = other.room_;
    mode_ = other.mode_;
    other.size_ = 0;
    other.mode_ = Mode::Local;
  }

  std::vector<T> heap_;
  std::array<T, N> local_{};
  T* outside_ = nullptr;  // in a CellArena, when mode_ is Arena
  std::uint32_t size_ = 0;
  std::uint32_t room_ = 0;
  Mode mode_ = Mode::Local;
};

} // namespace morvane::columnar
