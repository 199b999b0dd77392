// Text as the Python layer writes it: numbers as `repr` and `str(int(...))`,
// strings as `json.dumps(..., ensure_ascii=False)`, core strings as the str
// the binding makes of them (invalid UTF-8 replaced). The dumps made here
// must match those the Python code made byte for byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvane::dump {

// `repr(value)` of a Python float: shortest round-trip digits, positional
// unless the exponent is below -4 or above 15.
void append_float_repr(std::string& out, double value);

// The number of a dump: integral values below 1e15 in magnitude as an
// integer, anything else as `repr`.
void append_number(std::string& out, double value);

// `text` as UTF-8, each maximal invalid sequence replaced by U+FFFD, as
// Python's "replace" error handler decodes it.
void append_valid_utf8(std::string& out, std::string_view text);

// The code points of valid UTF-8 text (what Python's len counts).
std::size_t code_points(std::string_view valid_utf8);

// `json.dumps(text, ensure_ascii=False)` of valid UTF-8 text.
void append_json_string(std::string& out, std::string_view valid_utf8);

// Whether a unit (valid UTF-8) is one a number is shown without: none, a
// code or flag table, a plain count or text. Compared in upper case as
// Python's str.upper maps it.
bool unit_is_plain(std::string_view valid_utf8);

} // namespace morvane::dump
