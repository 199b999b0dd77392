// Contiguous storage for the cells of one column, all of it held by the
// batch's arena: short columns share its blocks, longer ones have a block
// each, and a compressed column's array is kept as the walk made it. A
// one-subset message (a TEMP) has thousands of columns of one row each,
// where a heap block per column, and a destructor per column, would cost
// more than the value.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

namespace morvane::columnar {

// Storage for the cells of one batch, all freed with it. Room a column
// outgrows stays until then: room at least doubles, so what is left behind
// is less than what the column ends with.
class CellArena {
public:
  // The most a column takes from a shared block; longer ones have their own.
  static constexpr std::size_t kMaxBytes = 512;

  // `bytes` aligned for any cell type.
  void* allocate(std::size_t bytes) {
    bytes = (bytes + 7U) & ~std::size_t{7};
    if (bytes > left_) [[unlikely]] return refill(bytes);
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
  // A new shared block, or past kMaxBytes a block of the request's own.
  [[gnu::noinline]] void* refill(std::size_t bytes) {
    if (bytes > kMaxBytes) {
      blocks_.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(bytes / 8));
      return blocks_.back().get();
    }
    blocks_.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(kBlockWords));
    next_ = reinterpret_cast<std::byte*>(blocks_.back().get());
    left_ = kBlockWords * sizeof(std::uint64_t);
    void* at = next_;
    next_ += bytes;
    left_ -= bytes;
    return at;
  }

  std::vector<std::unique_ptr<std::uint64_t[]>> blocks_;
  std::vector<std::vector<std::uint64_t>> kept_words_;
  std::vector<std::vector<std::uint8_t>> kept_octets_;
  std::byte* next_ = nullptr;
  std::size_t left_ = 0;
};

// Cells in an arena: a view that grows by taking more of it, with nothing
// to free of its own.
template <class T> class Cells {
public:
  static_assert(std::is_trivially_copyable_v<T>);

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] std::size_t capacity() const { return room_; }
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

  [[gnu::always_inline]] void push_back(T value, CellArena& arena) {
    // Locals: a store through an octet pointer could alias the members.
    const std::size_t size = size_;
    if (size == room_) grow(size + 1, arena);
    at_[size] = value;
    size_ = size + 1;
  }

  void clear() { size_ = 0; }

  void reserve(std::size_t n, CellArena& arena) {
    if (n > room_) move_to(n, arena);
  }

  void resize(std::size_t n, CellArena& arena, T fill = T{}) {
    if (n > room_) grow(n, arena);
    if (n > size_) std::fill(at_ + size_, at_ + n, fill);
    size_ = n;
  }

  // `n` cells, those added left unset: for a caller that writes them all.
  void resize_for_overwrite(std::size_t n, CellArena& arena) {
    if (n > room_) grow(n, arena);
    size_ = n;
  }

  void append(const T* first, const T* last, CellArena& arena) {
    const auto count = static_cast<std::size_t>(last - first);
    if (size_ + count > room_) grow(size_ + count, arena);
    std::copy(first, last, at_ + size_);
    size_ += count;
  }

  // `n` cells of room at `room`, kept alive by the caller (an arena): for
  // cells that have none yet. The first `filled` of them are already written.
  void place(T* room, std::size_t n, std::size_t filled = 0) {
    at_ = room;
    room_ = n;
    size_ = filled;
  }

  // Takes over the array of `values`, which `arena` keeps.
  void adopt(std::vector<T>&& values, CellArena& arena) {
    size_ = room_ = values.size();
    at_ = arena.keep(std::move(values));
  }

private:
  // Room doubled at least, so that growing one cell at a time stays linear.
  [[gnu::noinline]] void grow(std::size_t need, CellArena& arena) {
    move_to(std::max({need, room_ * 2, std::size_t{4}}), arena);
  }

  void move_to(std::size_t room, CellArena& arena) {
    T* block = static_cast<T*>(arena.allocate(room * sizeof(T)));
    std::copy(at_, at_ + size_, block);
    at_ = block;
    room_ = room;
  }

  T* at_ = nullptr;
  std::size_t size_ = 0;
  std::size_t room_ = 0;
};

} // namespace morvane::columnar
