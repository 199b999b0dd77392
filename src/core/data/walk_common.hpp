// The parts of the uncompressed and compressed walks that are the same:
// what each operator does to the coding state, replication counts, the
// difference-statistics coding of 2-25 re-reads.
#pragma once

#include <cstdint>
#include <optional>

#include "../descriptor.hpp"
#include "../error.hpp"
#include "coding_state.hpp"
#include "element_values.hpp"

namespace morvane {

// What the walk has to do for an operator after its state change.
enum class OperatorAction : std::uint8_t {
  None,          // only the state changes (or nothing at all)
  Marker,        // an operator marker item
  BitmapReread,  // 2-23/2-24/2-25/2-32-255: the next bitmap-selected element
  InsertedText,  // 2-05-YYY: YYY characters
};

// Applies the operator's change to the state and says what the walk emits.
OperatorAction apply_operator(const Fxy& fxy, ValueCodingState& state);

// A delayed replication factor's value as a repetition count: absent,
// negative or NaN give 0, values of 2^64 and more saturate.
inline std::uint64_t replication_count(std::optional<double> value) {
  if (!value || !(*value > 0.0)) return 0;
  if (*value >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(*value);
}

// 2-25-255 re-reads a difference: one bit wider than Table B, with a
// reference of -(2^w) for the Table B width w.
inline TableCoding difference_coding(const ElementDefinition& definition, TableCoding coding) {
  const std::uint16_t w = definition.width;
  // -(2^w) as a wrapping 64-bit number; wider fields cannot be read anyway.
  coding.reference = w < 64 ? static_cast<std::int64_t>(0U - (std::uint64_t{1} << w)) : 0;
  coding.width = w == 65535 ? std::uint16_t{65535} : static_cast<std::uint16_t>(w + 1U);
  return coding;
}

inline BufrError invalid_descriptor(std::uint32_t code) {
  return BufrError::parse("invalid descriptor " + written_code(code));
}

} // namespace morvane
