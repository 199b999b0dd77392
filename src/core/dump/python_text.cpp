#include "python_text.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "../text.hpp"

namespace morvane::dump {

namespace {

void append_zeros(std::string& out, int count) {
  if (count > 0) out.append(static_cast<std::size_t>(count), '0');
}

// What str.upper makes of a code point, as far as it matters for comparing
// with ASCII words: the ASCII letters it yields, '\x01' for anything else.
// Only these code points above 0x7F have an upper case holding ASCII.
std::string_view upper_for_ascii(std::uint32_t c) {
  switch (c) {
  case 0xDF: return "SS";
  case 0x131: return "I";
  case 0x149: return "\x01N";
  case 0x17F: return "S";
  case 0x1F0: return "J\x01";
  case 0x1E96: return "H\x01";
  case 0x1E97: return "T\x01";
  case 0x1E98: return "W\x01";
  case 0x1E99: return "Y\x01";
  case 0x1E9A: return "A\x01";
  case 0xFB00: return "FF";
  case 0xFB01: return "FI";
  case 0xFB02: return "FL";
  case 0xFB03: return "FFI";
  case 0xFB04: return "FFL";
  case 0xFB05:
  case 0xFB06: return "ST";
  default: return "\x01";
  }
}

} // namespace

void append_float_repr(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  if (value == 0.0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  std::array<char, 64> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::scientific);
  const std::string_view text(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
  std::size_t i = 0;
  if (text[0] == '-') {
    out += '-';
    i = 1;
  }
  const std::size_t e = text.find('e');
  std::array<char, 32> digit_buffer{};  // at most 17 significant digits
  std::size_t digit_count = 0;
  for (std::size_t k = i; k < e; ++k) {
    if (text[k] != '.') digit_buffer[digit_count++] = text[k];
  }
  const std::string_view digits(digit_buffer.data(), digit_count);
  // to_chars writes the exponent as a sign and digits.
  int exponent = 0;
  for (std::size_t k = e + 2; k < text.size(); ++k) exponent = exponent * 10 + (text[k] - '0');
  if (text[e + 1] == '-') exponent = -exponent;
  const int point = exponent + 1;  // digits are 0.ddd times 10^point
  const int count = static_cast<int>(digits.size());
  if (point <= -4 || point > 16) {
    out += digits[0];
    if (count > 1) {
      out += '.';
      out.append(digits.substr(1));
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
  } else if (point <= 0) {
    out += "0.";
    append_zeros(out, -point);
    out += digits;
  } else if (point >= count) {
    out += digits;
    append_zeros(out, point - count);
    out += ".0";
  } else {
    out.append(digits.substr(0, static_cast<std::size_t>(point)));
    out += '.';
    out.append(digits.substr(static_cast<std::size_t>(point)));
  }
}

void append_number(std::string& out, double value) {
  if (std::isfinite(value) && std::fabs(value) < 1e15 && std::trunc(value) == value) {
    std::array<char, 24> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                      static_cast<std::int64_t>(value));
    out.append(buffer.data(), result.ptr);
    return;
  }
  append_float_repr(out, value);
}

void append_valid_utf8(std::string& out, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t invalid = 1;
    const std::size_t length = utf8_sequence_at(text, i, &invalid);
    if (length > 0) {
      out.append(text, i, length);
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      i += invalid;
    }
  }
}

std::size_t code_points(std::string_view valid_utf8) {
  std::size_t count = 0;
  for (const char c : valid_utf8) {
    if ((static_cast<unsigned char>(c) & 0xC0U) != 0x80U) ++count;
  }
  return count;
}

void append_json_string(std::string& out, std::string_view valid_utf8) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : valid_utf8) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    case '\t': out += "\\t"; break;
    case '\b': out += "\\b"; break;
    case '\f': out += "\\f"; break;
    default:
      if (byte < 0x20) {
        out += "\\u00";
        out += kHex[byte >> 4U];
        out += kHex[byte & 0xFU];
      } else {
        out += c;
      }
    }
  }
  out += '"';
}

bool unit_is_plain(std::string_view valid_utf8) {
  if (valid_utf8.empty()) return true;
  std::string upper;
  std::size_t i = 0;
  while (i < valid_utf8.size()) {
    std::size_t length = utf8_sequence_at(valid_utf8, i);
    if (length == 0) length = 1;  // not reached with valid text
    const auto c = static_cast<std::uint32_t>(utf8_code_point(valid_utf8, i, length));
    if (c < 0x80) {
      upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : static_cast<char>(c);
    } else {
      upper += upper_for_ascii(c);
    }
    i += length;
  }
  return upper.find("TABLE") != std::string::npos || upper == "NUMERIC" || upper == "CCITT IA5";
}

} // namespace morvane::dump
