// Turning bits into element values: the value rule, the missing rule, the
// effect of the coding state on width, scale and reference, character text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../bitstream.hpp"
#include "../error.hpp"
#include "coding_state.hpp"
#include "decoded_value.hpp"
#include "element_catalog.hpp"

namespace morvane {

// 10^scale by squaring in double arithmetic; 1 / 10^|scale| for a negative scale.
double power_of_ten(std::int32_t scale);

// (reference + raw) as an exact integer, converted once to double.
inline double exact_sum(std::int64_t reference, std::uint64_t raw) {
  std::int64_t narrow;
  if (raw <= static_cast<std::uint64_t>(INT64_MAX) &&
      !__builtin_add_overflow(reference, static_cast<std::int64_t>(raw), &narrow)) {
    return static_cast<double>(narrow);
  }
  return static_cast<double>(static_cast<__int128>(reference) + static_cast<__int128>(raw));
}

// That sum divided by 10^scale: the value of every numeric element.
inline double element_value(std::int64_t reference, std::uint64_t raw, std::int32_t scale) {
  const double sum = exact_sum(reference, raw);
  return scale == 0 ? sum : sum / power_of_ten(scale);
}

// The same for an element read with its Table B coding.
inline double table_value(const ElementInfo& info, std::uint64_t raw) {
  const double sum = exact_sum(info.reference, raw);
  return info.scale == 0 ? sum : sum / info.scale_divisor;
}

// The raw value that means missing in a field of `width` bits: all bits
// set, width 0 counting as all set. Class 31 and fields of 64 bits and more
// have none; they get UINT64_MAX, which no narrower field holds, and a
// 64-bit field is never compared with it.
inline std::uint64_t missing_raw(unsigned width, bool class31) {
  return class31 || width >= 64 ? UINT64_MAX : (std::uint64_t{1} << width) - 1U;
}

// All bits set in a field narrower than 64 bits.
inline bool all_ones(std::uint64_t raw, unsigned width) {
  return width < 64 && raw == missing_raw(width, false);
}

// Whether a numeric element read with `width` bits holds a value: the
// catalog's missing raw serves reads with the element's own width.
inline bool present_raw(const ElementInfo& info, std::uint64_t raw, unsigned width) {
  const std::uint64_t missing = width == info.width ? info.missing_raw
                                                    : missing_raw(width, info.class31);
  return width >= 64 || raw != missing;
}

// The Table B fields of an element, possibly changed for a re-read (2-25).
struct TableCoding {
  std::uint16_t width = 0;
  std::int32_t scale = 0;
  std::int64_t reference = 0;
};

inline TableCoding table_coding(const ElementInfo& info, const ValueCodingState& state) {
  TableCoding coding{info.width, info.scale, info.reference};
  if (!state.new_references.empty()) {
    if (const std::int64_t* ref = state.new_reference(info.definition->code)) coding.reference = *ref;
  }
  return coding;
}

// Applies the operators in force. Code and flag tables keep their Table B
// width, scale and reference; 2-06 still replaces the width.
inline NumericCoding numeric_coding(const TableCoding& table, ElementKind kind,
                                    const ValueCodingState& state) {
  NumericCoding coding;
  if (kind == ElementKind::CodeOrFlag) {
    coding.width = state.override_width ? *state.override_width : table.width;
    coding.scale = table.scale;
    coding.reference = table.reference;
    return coding;
  }
  if (state.override_width) {
    coding.width = *state.override_width;
  } else {
    const std::int32_t sum = static_cast<std::int32_t>(table.width) + state.width_delta;
    coding.width = sum <= 0 ? std::uint16_t{0} : static_cast<std::uint16_t>(sum);
  }
  coding.scale = static_cast<std::int32_t>(static_cast<std::uint32_t>(table.scale) +
                                           static_cast<std::uint32_t>(state.scale_delta));
  coding.reference = static_cast<std::int64_t>(static_cast<std::uint64_t>(table.reference) *
                                               static_cast<std::uint64_t>(state.reference_multiplier));
  return coding;
}

// Bytes of a character field as text: absent when every byte is 0xFF (or
// there are none); bytes above 0x7F become '?'; trailing white space removed.
std::optional<std::string> decode_ia5_text(std::span<const std::uint8_t> bytes);

// The same as an item's owned text.
inline std::unique_ptr<std::string> ia5_text_item(std::span<const std::uint8_t> bytes) {
  auto text = decode_ia5_text(bytes);
  return text ? std::make_unique<std::string>(std::move(*text)) : nullptr;
}

// One numeric element read at the reader's position with `table` (its Table B
// coding, changed for 2-25 re-reads) and the operators in force.
struct NumericRead {
  NumericCoding coding;
  std::uint64_t raw = 0;
  bool present = false;  // false: the missing pattern
  double value = 0.0;
};

// The common case of read_numeric without a Result: false, with nothing
// read, when the field is empty, wider than 64 bits or past the end.
[[nodiscard, gnu::always_inline]] inline bool read_numeric_fast(const ElementInfo& info,
                                                                const TableCoding& table,
                                                                BitReader& reader,
                                                                const ValueCodingState& state,
                                                                NumericRead& read) {
  read.coding = numeric_coding(table, info.kind, state);
  const std::uint16_t width = read.coding.width;
  if (!reader.read_short(width, read.raw)) {
    if (width == 0 || width > 64 || width > reader.remaining()) return false;
    read.raw = reader.peek_unchecked(width);
    reader.skip_unchecked(width);
  }
  read.present = present_raw(info, read.raw, width);
  if (read.present) read.value = element_value(read.coding.reference, read.raw, read.coding.scale);
  return true;
}

[[nodiscard]] inline Result<NumericRead> read_numeric(const ElementInfo& info,
                                                      const TableCoding& table,
                                                      BitReader& reader,
                                                      const ValueCodingState& state) {
  NumericRead read;
  if (read_numeric_fast(info, table, reader, state, read)) return read;
  // Width 0, and the error texts, as read_u64 gives them.
  auto raw = reader.read_u64(read.coding.width);
  if (!raw) return fail(std::move(raw.error()));
  read.raw = *raw;
  if (!present_raw(info, read.raw, read.coding.width)) return read;
  read.present = true;
  read.value = element_value(read.coding.reference, read.raw, read.coding.scale);
  return read;
}

// Octets of a character field of `width` bits read into a buffer that lives
// on the stack for the usual widths.
class TextField {
public:
  TextField() = default;
  TextField(const TextField&) = delete;
  TextField& operator=(const TextField&) = delete;
  [[nodiscard]] Status read(BitReader& reader, std::uint16_t width) {
    length_ = (width + 7U) / 8U;
    data_ = stack_;
    if (length_ > sizeof stack_) {
      heap_.resize(length_);
      data_ = heap_.data();
    }
    return reader.read_bytes_into(width, data_);
  }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {data_, length_}; }

private:
  std::uint8_t stack_[256];
  std::vector<std::uint8_t> heap_;
  std::uint8_t* data_ = stack_;
  std::size_t length_ = 0;
};

// 2-03 new reference value: the leftmost of `width` bits is the sign.
inline std::int64_t signed_reference(std::uint64_t raw, unsigned width) {
  if (width == 0) return 0;
  const std::uint64_t sign = std::uint64_t{1} << (width - 1U);
  const auto magnitude = static_cast<std::int64_t>(raw & (sign - 1U));
  return (raw & sign) != 0 ? -magnitude : magnitude;
}

DecodedValue operator_marker(std::uint32_t code);

} // namespace morvane
