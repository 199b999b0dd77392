#include "element_values.hpp"

#include <array>

namespace morvane {

namespace {

constexpr double squaring_power(std::uint32_t exponent) {
  double result = 1.0;
  double base = 10.0;
  while (exponent != 0) {
    if ((exponent & 1U) != 0) result *= base;
    base *= base;
    exponent >>= 1U;
  }
  return result;
}

// Scales met in practice, computed by the same squaring as the general case.
constexpr int kTableLimit = 40;
constexpr std::array<double, 2 * kTableLimit + 1> kPowers = [] {
  std::array<double, 2 * kTableLimit + 1> powers{};
  for (int s = -kTableLimit; s <= kTableLimit; ++s) {
    const double p = squaring_power(static_cast<std::uint32_t>(s < 0 ? -s : s));
    powers[static_cast<std::size_t>(s + kTableLimit)] = s < 0 ? 1.0 / p : p;
  }
  return powers;
}();

bool is_text_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

} // namespace

double power_of_ten(std::int32_t scale) {
  if (scale >= -kTableLimit && scale <= kTableLimit) {
    return kPowers[static_cast<std::size_t>(scale + kTableLimit)];
  }
  const std::uint32_t magnitude =
      scale < 0 ? 0U - static_cast<std::uint32_t>(scale) : static_cast<std::uint32_t>(scale);
  const double p = squaring_power(magnitude);
  return scale < 0 ? 1.0 / p : p;
}

std::optional<std::string> decode_ia5_text(std::span<const std::uint8_t> bytes) {
  bool all_ff = true;
  for (std::uint8_t b : bytes) {
    if (b != 0xFF) {
      all_ff = false;
      break;
    }
  }
  if (all_ff) return std::nullopt;
  std::string text(bytes.size(), '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text[i] = bytes[i] < 0x80 ? static_cast<char>(bytes[i]) : '?';
  }
  std::size_t end = text.size();
  while (end > 0 && is_text_blank(text[end - 1])) --end;
  text.resize(end);
  return text;
}

DecodedValue operator_marker(std::uint32_t code) {
  DecodedValue item;
  item.descriptor = code;
  item.name = &operator_name();
  item.has_raw_value = true;
  item.raw_value = 0.0;
  item.has_raw = true;
  item.raw = 0;
  return item;
}

} // namespace morvane
