// Short paths for the numbers that fill table files: nearly every field is a
// handful of plain digits, which need neither trimming nor overflow checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "../descriptor.hpp"

namespace morvane {

// Digits only, 1 to `max_digits` of them (few enough not to overflow).
inline bool plain_digits(std::string_view text, std::size_t max_digits, std::uint64_t& out) {
  if (text.empty() || text.size() > max_digits) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    const auto digit = static_cast<unsigned>(c - '0');
    if (digit > 9U) return false;
    value = value * 10U + digit;
  }
  out = value;
  return true;
}

// parse_code with its result and errors, faster on plain digits.
[[nodiscard]] inline Result<std::uint32_t> table_code(std::string_view field) {
  std::uint64_t value = 0;
  if (plain_digits(field, 9, value)) return static_cast<std::uint32_t>(value);
  return parse_code(field);
}

// An unsigned 64-bit number with an optional '+'; on failure `reason` is set.
[[nodiscard]] inline Result<std::uint64_t> table_u64(std::string_view text, std::string_view& reason) {
  std::uint64_t value = 0;
  if (plain_digits(text, 19, value)) return value;
  return parse_unsigned_text(text, ~std::uint64_t{0}, reason);
}

} // namespace morvane
