#include "descriptor.hpp"

#include "text.hpp"

namespace morvane {

Result<std::uint64_t> parse_unsigned_text(std::string_view text, std::uint64_t max,
                                          std::string_view& reason) {
  if (text.empty()) {
    reason = kEmptyInteger;
    return fail(BufrError::parse(std::string(reason)));
  }
  std::size_t i = 0;
  if (text[0] == '+') {
    i = 1;
    if (text.size() == 1) {
      reason = kInvalidDigit;
      return fail(BufrError::parse(std::string(reason)));
    }
  }
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') {
      reason = kInvalidDigit;
      return fail(BufrError::parse(std::string(reason)));
    }
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10U) {
      reason = kTooLarge;
      return fail(BufrError::parse(std::string(reason)));
    }
    value = value * 10U + digit;
  }
  return value;
}

Result<std::uint32_t> parse_code(std::string_view field) {
  std::string_view text = trim_space(field);
  while (!text.empty() && text.front() == '"') text.remove_prefix(1);
  while (!text.empty() && text.back() == '"') text.remove_suffix(1);
  std::string_view reason;
  auto value = parse_unsigned_text(text, 0xFFFFFFFFU, reason);
  if (!value) {
    return fail(BufrError::parse("bad descriptor code " + quoted(field) + ": " +
                                 std::string(reason)));
  }
  return static_cast<std::uint32_t>(*value);
}

} // namespace morvane
