#include "text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "escaped_ranges.hpp"

namespace morvane {

bool is_ascii(std::string_view text) {
  const char* s = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  std::uint64_t seen = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s + i, 8);
    seen |= word;
  }
  for (; i < n; ++i) seen |= static_cast<unsigned char>(s[i]);
  return (seen & 0x8080808080808080ULL) == 0;
}

bool escaped_in_quotes(char32_t c) {
  // Printable ASCII is the common case and holds no escaped code point.
  if (c >= 0x20U && c < 0x7FU) return false;
  const auto* end = std::end(kEscapedRanges);
  const auto* range = std::upper_bound(std::begin(kEscapedRanges), end, c,
                                       [](char32_t v, const CodePointRange& r) { return v < r.first; });
  return range != std::begin(kEscapedRanges) && c <= (range - 1)->last;
}

std::size_t utf8_sequence_at(std::string_view text, std::size_t i, std::size_t* invalid_length) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const unsigned char b0 = s[i];
  if (b0 < 0x80U) return 1;
  std::size_t need = 0;
  unsigned char lo = 0x80U;
  unsigned char hi = 0xBFU;
  if (b0 >= 0xC2U && b0 <= 0xDFU) {
    need = 1;
  } else if (b0 >= 0xE0U && b0 <= 0xEFU) {
    need = 2;
    if (b0 == 0xE0U) lo = 0xA0U;  // no overlong forms
    if (b0 == 0xEDU) hi = 0x9FU;  // no surrogates
  } else if (b0 >= 0xF0U && b0 <= 0xF4U) {
    need = 3;
    if (b0 == 0xF0U) lo = 0x90U;
    if (b0 == 0xF4U) hi = 0x8FU;  // nothing above U+10FFFF
  }
  std::size_t len = 1;
  while (len <= need && i + len < n) {
    const unsigned char b = s[i + len];
    if (len == 1 ? (b < lo || b > hi) : (b & 0xC0U) != 0x80U) break;
    ++len;
  }
  if (need != 0 && len == need + 1) return len;
  if (invalid_length != nullptr) *invalid_length = len;
  return 0;
}

char32_t utf8_code_point(std::string_view text, std::size_t i, std::size_t length) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data()) + i;
  switch (length) {
  case 1: return s[0];
  case 2: return ((s[0] & 0x1FU) << 6U) | (s[1] & 0x3FU);
  case 3: return ((s[0] & 0x0FU) << 12U) | ((s[1] & 0x3FU) << 6U) | (s[2] & 0x3FU);
  default:
    return ((s[0] & 0x07U) << 18U) | ((s[1] & 0x3FU) << 12U) | ((s[2] & 0x3FU) << 6U) |
           (s[3] & 0x3FU);
  }
}

std::size_t utf8_invalid_at(std::string_view text) {
  const char* s = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Table text is almost all ASCII: skip it eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080ULL) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    const std::size_t len = utf8_sequence_at(text, i);
    if (len == 0) return i;
    i += len;
  }
  return std::string_view::npos;
}

std::string utf8_lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t bad = utf8_invalid_at(text);
    if (bad == std::string_view::npos) {
      out.append(text);
      break;
    }
    out.append(text.substr(0, bad));
    out.append("\xEF\xBF\xBD");
    std::size_t skip = 1;
    utf8_sequence_at(text, bad, &skip);
    text.remove_prefix(bad + skip);
  }
  return out;
}

std::size_t wide_space_at(std::string_view text, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 == 0xC2U) {
    if (i + 1 >= text.size()) return 0;
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    return (b1 == 0x85U || b1 == 0xA0U) ? 2 : 0;
  }
  if (b0 < 0xE1U || b0 > 0xE3U || i + 2 >= text.size()) return 0;
  const auto b1 = static_cast<unsigned char>(text[i + 1]);
  const auto b2 = static_cast<unsigned char>(text[i + 2]);
  const std::uint32_t cp = ((b0 & 0x0FU) << 12U) | ((b1 & 0x3FU) << 6U) | (b2 & 0x3FU);
  const bool space = cp == 0x1680U || (cp >= 0x2000U && cp <= 0x200AU) || cp == 0x2028U ||
                     cp == 0x2029U || cp == 0x202FU || cp == 0x205FU || cp == 0x3000U;
  return space ? 3 : 0;
}

std::string_view trim_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t w = unicode_space_at(text, begin);
    if (w == 0) break;
    begin += w;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const auto last = static_cast<unsigned char>(text[end - 1]);
    if (last < 0x80U) {
      if (unicode_space_at(text, end - 1) == 0) break;
      --end;
      continue;
    }
    // A wide space is two or three bytes ending here.
    if (end - begin >= 2 && wide_space_at(text, end - 2) == 2) {
      end -= 2;
    } else if (end - begin >= 3 && wide_space_at(text, end - 3) == 3) {
      end -= 3;
    } else {
      break;
    }
  }
  return text.substr(begin, end - begin);
}

} // namespace morvane
