// Descriptor codes: F*100000 + X*1000 + Y carried as one unsigned 32-bit integer.
#pragma once

#include <cstdint>
#include <string_view>

#include "error.hpp"

namespace morvane {

struct Fxy {
  std::uint8_t f;
  std::uint8_t x;
  std::uint8_t y;
};

// F and Y keep their low 8 bits, so 1300 splits into 0, 1, 44.
constexpr Fxy split_code(std::uint32_t code) {
  return Fxy{static_cast<std::uint8_t>(code / 100000U),
             static_cast<std::uint8_t>((code % 100000U) / 1000U),
             static_cast<std::uint8_t>(code % 1000U)};
}

constexpr std::uint32_t make_code(std::uint32_t f, std::uint32_t x, std::uint32_t y) {
  return f * 100000U + x * 1000U + y;
}

// Section 3 packs a descriptor in 16 bits: F 2 bits, X 6 bits, Y 8 bits.
constexpr std::uint32_t code_from_packed(std::uint8_t hi, std::uint8_t lo) {
  return make_code(hi >> 6U, hi & 0x3FU, lo);
}

// Class 31 holds replication factors and bitmap indicators, which are never missing.
constexpr bool is_class31(std::uint32_t code) {
  const std::uint32_t rest = code % 100000U;
  return rest >= 31000U && rest <= 31999U;
}

// Reasons shared by every strict integer parser of table text.
inline constexpr std::string_view kEmptyInteger = "cannot parse integer from empty string";
inline constexpr std::string_view kInvalidDigit = "invalid digit found in string";
inline constexpr std::string_view kTooLarge = "number too large to fit in target type";
inline constexpr std::string_view kTooSmall = "number too small to fit in target type";

// Unsigned decimal with an optional leading '+'; on failure the reason text.
[[nodiscard]] Result<std::uint64_t> parse_unsigned_text(std::string_view text, std::uint64_t max,
                                          std::string_view& reason);

// A descriptor field of a table file: trimmed, stripped of surrounding double
// quotes, then parsed as an unsigned 32-bit decimal number.
[[nodiscard]] Result<std::uint32_t> parse_code(std::string_view field);

} // namespace morvane
