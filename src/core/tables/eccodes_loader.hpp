// Tables from a directory tree laid out like the ecCodes definitions.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "../error.hpp"
#include "../message.hpp"
#include "table_set.hpp"

namespace morvane {

// One table directory: element.table, sequence.def and optionally codetables/.
[[nodiscard]] Result<TableSet> from_eccodes_dir(const std::filesystem::path& dir);

// The WMO master directory (through alias files) and the centre's local tables
// chosen by the message's section 1.
[[nodiscard]] Result<TableSet> from_eccodes_definitions(const std::filesystem::path& root,
                                          const BufrMessage& message);

[[nodiscard]] Result<std::filesystem::path> resolve_eccodes_table_dir(std::filesystem::path path);

[[nodiscard]] Status load_eccodes_element_table(TableSet& tables, const std::filesystem::path& path);
[[nodiscard]] Status load_eccodes_sequence_def(TableSet& tables, const std::filesystem::path& path);
[[nodiscard]] Status load_eccodes_code_tables(TableSet& tables, const std::filesystem::path& dir);

// Entries of `dir` whose names start with `prefix` and end with `suffix`, sorted.
[[nodiscard]] Result<std::vector<std::filesystem::path>> matching_files(const std::filesystem::path& dir,
                                                          std::string_view prefix,
                                                          std::string_view suffix);

[[nodiscard]] Result<std::int32_t> parse_i32(std::string_view text);
[[nodiscard]] Result<std::int64_t> parse_i64(std::string_view text);
[[nodiscard]] Result<std::uint16_t> parse_u16(std::string_view text);

// A path as text, bytes that are not UTF-8 replaced by U+FFFD.
std::string path_text(const std::filesystem::path& path);

} // namespace morvane
