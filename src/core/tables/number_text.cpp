// Strict integer parsing of table fields: optional sign, ASCII digits, nothing
// else, no trimming.
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "../descriptor.hpp"
#include "eccodes_loader.hpp"

namespace morvane {

namespace {

// Digits are taken left to right and the first offending one decides the
// reason, so "99999999999x" is too large while "9x" has an invalid digit.
// Returns the empty view on success.
template <class T> std::string_view scan_signed(std::string_view text, T& out) {
  if (text.empty()) return kEmptyInteger;
  std::size_t i = 0;
  const bool negative = text[0] == '-';
  if (negative || text[0] == '+') {
    i = 1;
    if (text.size() == 1) return kInvalidDigit;
  }
  // Accumulate towards the sign so the most negative value fits.
  T value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return kInvalidDigit;
    const T digit = static_cast<T>(c - '0');
    if (negative) {
      if (value < (std::numeric_limits<T>::min() + digit) / 10) return kTooSmall;
      value = static_cast<T>(value * 10 - digit);
    } else {
      if (value > (std::numeric_limits<T>::max() - digit) / 10) return kTooLarge;
      value = static_cast<T>(value * 10 + digit);
    }
  }
  out = value;
  return {};
}

template <class T> Result<T> parse_signed(std::string_view text, const char* type_name) {
  T value = 0;
  const std::string_view reason = scan_signed(text, value);
  if (!reason.empty()) {
    return fail(BufrError::parse("bad " + std::string(type_name) + " " + quoted(text) + ": " +
                                 std::string(reason)));
  }
  return value;
}

} // namespace

Result<std::int32_t> parse_i32(std::string_view text) {
  return parse_signed<std::int32_t>(text, "i32");
}

Result<std::int64_t> parse_i64(std::string_view text) {
  return parse_signed<std::int64_t>(text, "i64");
}

Result<std::uint16_t> parse_u16(std::string_view text) {
  std::string_view reason;
  auto value = parse_unsigned_text(text, 0xFFFFU, reason);
  if (!value) {
    return fail(BufrError::parse("bad u16 " + quoted(text) + ": " + std::string(reason)));
  }
  return static_cast<std::uint16_t>(*value);
}

} // namespace morvane
