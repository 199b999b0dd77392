// UTF-8 and white-space helpers shared by the table readers, descriptor
// parsing and error texts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvane {

// Length (1 to 4) of the valid UTF-8 sequence that starts at text[i], or 0 if
// the bytes there are not one; `invalid_length` then receives the length of
// the maximal invalid subpart (what a lossy decoder replaces by one U+FFFD).
std::size_t utf8_sequence_at(std::string_view text, std::size_t i,
                             std::size_t* invalid_length = nullptr);

// The code point of a valid sequence of `length` bytes at text[i].
char32_t utf8_code_point(std::string_view text, std::size_t i, std::size_t length);

// True when a quoted text shows `c` as \u{hex}: controls, format characters,
// separators other than the plain space, private-use and unassigned code
// points, and combining marks (escaped_ranges.hpp has the full rule).
bool escaped_in_quotes(char32_t c);

// True when every byte is below 0x80.
bool is_ascii(std::string_view text);

// Byte index of the first invalid UTF-8 sequence in `text` (a truncated
// sequence at the end included), or npos if the whole text is valid.
std::size_t utf8_invalid_at(std::string_view text);

// `text` with every maximal invalid UTF-8 sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view text);

// Length of the non-ASCII Unicode white-space character starting at text[i]
// (U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F,
// U+3000), or 0.
std::size_t wide_space_at(std::string_view text, std::size_t i);

// Length of the Unicode white-space character starting at text[i], or 0.
// Table text is almost all ASCII, so that case stays inline.
inline std::size_t unicode_space_at(std::string_view text, std::size_t i) {
  const auto b = static_cast<unsigned char>(text[i]);
  if (b < 0x80U) return (b == 0x20U || (b >= 0x09U && b <= 0x0DU)) ? 1 : 0;
  return wide_space_at(text, i);
}

// Unicode white space removed from both ends.
std::string_view trim_space(std::string_view text);

// Splits at runs of Unicode white space: the next token of `rest`, which is
// advanced past it; empty when no token is left.
inline std::string_view next_token(std::string_view& rest) {
  std::size_t i = 0;
  while (i < rest.size()) {
    const std::size_t w = unicode_space_at(rest, i);
    if (w == 0) break;
    i += w;
  }
  const std::size_t begin = i;
  while (i < rest.size() && unicode_space_at(rest, i) == 0) ++i;
  const std::string_view token = rest.substr(begin, i - begin);
  rest.remove_prefix(i);
  return token;
}

// Calls `line(text)` for every line of `text` split at LF, one CR before each
// LF removed. A final line without LF is included; a trailing LF adds nothing.
template <class F> void for_each_line(std::string_view text, F&& line) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    const bool last = end == std::string_view::npos;
    if (last) end = text.size();
    std::size_t stop = end;
    if (!last && stop > start && text[stop - 1] == '\r') --stop;
    line(text.substr(start, stop - start));
    if (last) break;
    start = end + 1;
  }
}

} // namespace morvane
