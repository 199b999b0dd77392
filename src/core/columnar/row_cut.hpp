// Rows of observations from the keys of a subset, the way read_bufr makes
// them: which keys each row holds, never their values. Keys are numbered
// names (the caller's numbering); references say where a key's value comes
// from and are handed back as given.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace morvane::columnar {

// The level of each key: a coordinate key (classes 1 to 9) opens a level
// below the current one; when a coordinate of the same name comes again,
// the level goes back to where that one opened.
std::vector<std::int32_t> key_levels(std::span<const std::int64_t> codes,
                                     std::span<const std::int32_t> names, std::int32_t first_level);

enum class FilterOutcome : std::uint8_t { None = 0, Passed = 1, Failed = 2 };

struct RowStep {
  std::int32_t name;
  std::int32_t level;
  std::int64_t reference;
  FilterOutcome filter;
};

struct CutRows {
  std::vector<std::int64_t> row_starts{0};  // one more entry than rows
  std::vector<std::int32_t> names;
  std::vector<std::int64_t> references;
};

// Each row is the keys held on the path to the current level, emitted when
// a key closes that level and at the end. A failed filter hides the keys
// below its level until a key at its level or above comes. `filter_names`
// must all be held for a row to be emitted; `count_name` (>= 0) is held from
// the start with `count_reference`.
CutRows cut_rows(std::span<const RowStep> steps, std::span<const std::int32_t> filter_names,
                 std::int32_t count_name, std::int64_t count_reference);

} // namespace morvane::columnar
