// Contiguous storage for the cells of one column: short columns in the
// batch's arena, longer ones in a block of their own. A one-subset message
// (a TEMP) has thousands of columns of one row each, where a heap block per
// column would cost more than the value; a compressed column instead adopts
// the walk's whole array.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
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

  // Keeps `values` as long as the arena, where they are: a compressed
  // column's array becomes the column's own without a copy.
  template <class T> T* keep(std::vector<T>&& values) {
    if constexpr (std::is_same_v<T, std::uint64_t>) {
      return kept_words_.emplace_back(std::move(values)).data();
    } else {
      static_assert(std::is_same_v<T, std::uint8_t>, "only words and octets are kept");
      return kept_octets_.emplace_back(std::move(values)).data();
    }
  }

private:
  static constexpr std::size_t kBlockWords = 8192;
  [[gnu::noinline]] void refill() {
    blocks_.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(kBlockWords));
    next_ = reinterpret_cast<std::byte*>(blocks_.back().get());
    left_ = kBlockWords * sizeof(std::uint64_t);
  }

  std::vector<std::unique_ptr<std::uint64_t[]>> blocks_;
  std::vector<std::vector<std::uint64_t>> kept_words_;
  std::vector<std::vector<std::uint8_t>> kept_octets_;
  std::byte* next_ = nullptr;
  std::size_t left_ = 0;
};

template <class T> class Cells {
public:
  Cells() = default;
  Cells(const Cells&) = delete;
  Cells& operator=(const Cells&) = delete;
  Cells(Cells&& other) noexcept : at_(other.at_), size_(other.size_), room_(other.room_) {
    other.forget();
  }
  Cells& operator=(Cells&& other) noexcept {
    if (this != &other) {
      release();
      at_ = other.at_;
      size_ = other.size_;
      room_ = other.room_;
      other.forget();
    }
    return *this;
  }
  ~Cells() { release(); }

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] std::size_t capacity() const { return room_ & ~kOwned; }
  [[nodiscard]] T* data() { return at_; }
  [[nodiscard]] const T* data() const { return at_; }
  T* begin() { return at_; }
  T* end() { return at_ + size_; }
  const T* begin() const { return at_; }
  const T* end() const { return at_ + size_; }
  T& operator[](std::size_t i) { return at_[i]; }
  const T& operator[](std::size_t i) const { return at_[i]; }
  T& back() { return at_[size_ - 1]; }
  const T& back() const { return at_[size_ - 1]; }

  [[gnu::always_inline]] void push_back(T value) {
    // Locals: a store through an octet pointer could alias the members.
    const std::size_t size = size_;
    if (size == capacity()) grow(size + 1);
    at_[size] = value;
    size_ = size + 1;
  }

  void clear() { size_ = 0; }

  void reserve(std::size_t n) {
    if (n > capacity()) move_to(n);
  }

  // Room for `n` cells, taken from `arena` while short.
  void reserve(std::size_t n, CellArena& arena) {
    if (n <= capacity()) return;
    if (n * sizeof(T) > CellArena::kMaxBytes) {
      move_to(n);
      return;
    }
    T* room = static_cast<T*>(arena.allocate(n * sizeof(T)));
    std::copy(at_, at_ + size_, room);
    release();
    at_ = room;
    room_ = n;
  }

  void resize(std::size_t n, T fill = T{}) {
    if (n > capacity()) grow(n);
    if (n > size_) std::fill(at_ + size_, at_ + n, fill);
    size_ = n;
  }

  // `n` cells, those added left unset: for a caller that writes them all.
  void resize_for_overwrite(std::size_t n) {
    if (n > capacity()) grow(n);
    size_ = n;
  }

  void append(const T* first, const T* last) {
    const auto count = static_cast<std::size_t>(last - first);
    if (size_ + count > capacity()) grow(size_ + count);
    std::copy(first, last, at_ + size_);
    size_ += count;
  }

  // `n` cells of room at `room`, kept alive by the caller (an arena): for
  // cells that have none yet.
  void place(T* room, std::size_t n) {
    at_ = room;
    room_ = n;
  }

  // Takes over the array of `values`, which `arena` keeps.
  void adopt(std::vector<T>&& values, CellArena& arena) {
    release();
    size_ = room_ = values.size();
    at_ = arena.keep(std::move(values));
  }

private:
  // Set in room_ when the cells are in a block of their own, which they
  // then own; otherwise they are in an arena, or there are none. A flag
  // rather than an owning pointer: a one-row column has three of these.
  static constexpr std::size_t kOwned = std::size_t{1} << 63U;

  // Room doubled at least, so that growing one cell at a time stays linear.
  [[gnu::noinline]] void grow(std::size_t need) {
    move_to(std::max({need, capacity() * 2, std::size_t{4}}));
  }

  void move_to(std::size_t room) {
    T* block = new T[room];
    std::copy(at_, at_ + size_, block);
    release();
    at_ = block;
    room_ = room | kOwned;
  }

  void release() {
    if ((room_ & kOwned) != 0) delete[] at_;
  }

  void forget() {
    at_ = nullptr;
    size_ = room_ = 0;
  }

  T* at_ = nullptr;
  std::size_t size_ = 0;
  std::size_t room_ = 0;
};

} // namespace morvane::columnar
