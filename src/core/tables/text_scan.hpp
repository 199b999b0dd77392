// Whole-file reads for the table loaders.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "../error.hpp"
#include "../text.hpp"

namespace morvane {

// Reads a whole file; the text lives in `buffer`, scratch storage that keeps
// its size between calls. Failures are Io errors with the system's text; text
// that is not UTF-8 is an Io error too.
[[nodiscard]] Result<std::string_view> read_text_file(const char* path, std::string& buffer);
// The same relative to an open directory descriptor.
[[nodiscard]] Result<std::string_view> read_text_file_at(int dir_fd, const char* name, std::string& buffer);

} // namespace morvane
