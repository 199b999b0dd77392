#include "descriptor.hpp"

namespace morvane {

namespace {

bool is_unicode_space(char32_t c) {
  return (c >= 0x09U && c <= 0x0DU) || c == 0x20U || c == 0x85U || c == 0xA0U || c == 0x1680U ||
         (c >= 0x2000U && c <= 0x200AU) || c == 0x2028U || c == 0x2029U || c == 0x202FU ||
         c == 0x205FU || c == 0x3000U;
}

// Length of the white-space code point starting at `i`, or 0.
std::size_t space_at(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80U) return is_unicode_space(b0) ? 1 : 0;
  if (b0 == 0xC2U && i + 1 < s.size()) {
    const auto b1 = static_cast<unsigned char>(s[i + 1]);
    return (b1 == 0x85U || b1 == 0xA0U) ? 2 : 0;
  }
  if ((b0 == 0xE1U || b0 == 0xE2U || b0 == 0xE3U) && i + 2 < s.size()) {
    const char32_t cp = ((b0 & 0x0FU) << 12U) |
                        ((static_cast<unsigned char>(s[i + 1]) & 0x3FU) << 6U) |
                        (static_cast<unsigned char>(s[i + 2]) & 0x3FU);
    return is_unicode_space(cp) ? 3 : 0;
  }
  return 0;
}

// Start of the white-space code point that ends at `end`, or `end` if none.
std::size_t space_before(std::string_view s, std::size_t end) {
  if (end >= 1 && space_at(s, end - 1) == 1) return end - 1;
  if (end >= 2 && space_at(s, end - 2) == 2) return end - 2;
  if (end >= 3 && space_at(s, end - 3) == 3) return end - 3;
  return end;
}

} // namespace

std::string_view trim_unicode_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t n = space_at(text, begin);
    if (n == 0) break;
    begin += n;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t start = space_before(text, end);
    if (start == end || start < begin) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

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
  std::string_view text = trim_unicode_space(field);
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
