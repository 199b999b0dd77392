// The column of each entry of the walk's descriptor history, which quality
// values and re-reads refer back to. Written once per element: a store, the
// growth kept out of line, the room kept while the builder's tables are.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>

namespace morvane::columnar {

class ColumnHistory {
public:
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] std::size_t capacity() const { return room_; }
  std::size_t operator[](std::size_t i) const { return at_[i]; }
  void clear() { size_ = 0; }

  [[gnu::always_inline]] void push_back(std::size_t column) {
    const std::size_t size = size_;
    if (size == room_) [[unlikely]] grow();
    at_[size] = column;
    size_ = size + 1;
  }

private:
  [[gnu::noinline]] void grow() {
    const std::size_t room = std::max<std::size_t>(room_ * 2, 64);
    auto block = std::make_unique_for_overwrite<std::size_t[]>(room);
    std::copy(at_.get(), at_.get() + size_, block.get());
    at_ = std::move(block);
    room_ = room;
  }

  std::unique_ptr<std::size_t[]> at_;
  std::size_t size_ = 0;
  std::size_t room_ = 0;
};

} // namespace morvane::columnar
