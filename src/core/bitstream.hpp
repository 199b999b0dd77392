// Most-significant-bit-first reader over the data area of section 4.
//
// This is the innermost loop of decoding: a read loads one big-endian 64-bit
// word (plus one byte when the field straddles it) instead of walking bits.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "error.hpp"

namespace morvane {

// Cold paths: the error texts of the reader.
BufrError not_enough_bits(std::size_t position, std::size_t width, std::size_t available);
BufrError too_wide_for_u64(std::size_t width);

class BitReader {
public:
  BitReader() = default;
  BitReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  [[nodiscard]] std::size_t bit_position() const { return bit_position_; }
  [[nodiscard]] std::size_t capacity() const { return size_ * 8; }
  [[nodiscard]] std::size_t remaining() const { return capacity() - bit_position_; }

  // `width` bits as one big-endian unsigned number. Width 0 reads nothing and
  // gives 0 even at the end of the data.
  [[nodiscard]] Result<std::uint64_t> read_u64(std::uint16_t width) {
    if (width == 0) return std::uint64_t{0};
    if (width > 64) return fail(too_wide_for_u64(width));
    if (width > remaining()) return fail(not_enough_bits(bit_position_, width, capacity()));
    const std::uint64_t value = take(width);
    bit_position_ += width;
    return value;
  }

  // ceil(width / 8) bytes, a trailing partial byte left-aligned. The bounds are
  // checked byte by byte, so a failure reports the byte that did not fit and
  // leaves the bytes before it consumed.
  [[nodiscard]] Result<std::vector<std::uint8_t>> read_bytes(std::uint16_t width) {
    std::vector<std::uint8_t> out((width + 7U) / 8U);
    auto status = read_bytes_into(width, out.data());
    if (!status) return fail(std::move(status.error()));
    return out;
  }

  // read_bytes into caller storage of at least ceil(width / 8) bytes.
  [[nodiscard]] Status read_bytes_into(std::uint16_t width, std::uint8_t* out) {
    const std::size_t whole = width / 8U;
    const std::size_t fit = remaining() / 8U;
    if (whole > fit) {
      copy_bytes(fit, out);
      return fail(not_enough_bits(bit_position_, 8, capacity()));
    }
    copy_bytes(whole, out);
    const unsigned rest = width % 8U;
    if (rest != 0) {
      auto tail = read_u64(static_cast<std::uint16_t>(rest));
      if (!tail) return fail(std::move(tail.error()));
      out[whole] = static_cast<std::uint8_t>(*tail << (8U - rest));
    }
    return {};
  }

  // The common field: 1..57 bits, with a whole 8-byte word left at the
  // reader's octet. One load, no straddle; false (nothing read) otherwise.
  [[nodiscard]] bool read_short(unsigned width, std::uint64_t& value) {
    const std::size_t index = bit_position_ >> 3U;
    if (width - 1U >= 57U || index + 8 > size_) return false;
    std::uint64_t word;
    std::memcpy(&word, data_ + index, 8);
    if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
    value = (word << (bit_position_ & 7U)) >> (64U - width);
    bit_position_ += width;
    return true;
  }

  // Moves past `width` bits the caller has already checked are there.
  void skip_unchecked(std::size_t width) { bit_position_ += width; }

  // The next `width` (1..64) bits without moving; the caller has checked
  // that they exist.
  [[nodiscard]] std::uint64_t peek_unchecked(unsigned width) const { return take(width); }

private:
  // Big-endian 64-bit load at byte `index`, zero-filled past the end.
  [[nodiscard]] std::uint64_t load_word(std::size_t index) const {
    std::uint64_t word = 0;
    if (index + 8 <= size_) {
      std::memcpy(&word, data_ + index, 8);
      if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
      return word;
    }
    for (std::size_t i = 0; i < 8; ++i) {
      word <<= 8U;
      if (index + i < size_) word |= data_[index + i];
    }
    return word;
  }

  [[nodiscard]] std::uint64_t take(unsigned width) const {
    const std::size_t index = bit_position_ >> 3U;
    const unsigned offset = static_cast<unsigned>(bit_position_ & 7U);
    const std::uint64_t high = load_word(index) << offset;
    std::uint64_t value = high >> (64U - width);
    if (width > 64U - offset) {
      // The field runs into a ninth byte, which the bounds check guarantees.
      const unsigned extra = width - (64U - offset);
      value |= static_cast<std::uint64_t>(data_[index + 8]) >> (8U - extra);
    }
    return value;
  }

  void copy_bytes(std::size_t count, std::uint8_t* out) {
    if (count == 0) return;
    if ((bit_position_ & 7U) == 0) {
      std::memcpy(out, data_ + (bit_position_ >> 3U), count);
      bit_position_ += count * 8;
      return;
    }
    // Unaligned: seven bytes per load (56 bits never reach a ninth byte).
    std::size_t i = 0;
    for (; i + 7 <= count; i += 7) {
      const std::uint64_t word = take(56);
      bit_position_ += 56;
      for (unsigned k = 0; k < 7; ++k) {
        out[i + k] = static_cast<std::uint8_t>(word >> (48U - 8U * k));
      }
    }
    for (; i < count; ++i) {
      out[i] = static_cast<std::uint8_t>(take(8));
      bit_position_ += 8;
    }
  }

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t bit_position_ = 0;
};

} // namespace morvane
