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

// The rows of many subsets of items at once (a row belongs to one subset).
// An item's name is the number `code_names` holds at its code, -1 (or a code
// past its end) for what is no element of its own (operators, markers,
// elements without a name); elements between a quality operator
// and a bitmap cancel are quality information for earlier ones and are no
// keys either. Each subset's keys are its header keys (level 0, references
// -2 - i for the i-th), then its wanted elements, referenced by item number.
struct SubsetItems {
  std::span<const std::uint32_t> codes;
  std::span<const std::int32_t> code_names;
  std::span<const std::uint8_t> outcomes;      // per item: FilterOutcome
  std::span<const std::uint64_t> subset_starts;  // one more entry than subsets
  std::span<const std::uint8_t> wanted;        // per name number
  std::span<const std::int32_t> header_names;
  std::span<const std::uint8_t> header_outcomes;
  std::int32_t first_level = 1;
};

struct SubsetRows {
  CutRows rows;
  std::vector<std::uint64_t> row_subsets;
};

// False when the arrays do not line up or a number is out of range.
[[nodiscard]] bool cut_subsets(const SubsetItems& items, std::span<const std::int32_t> filter_names,
                               std::int32_t count_name, std::int64_t count_reference, SubsetRows& out);

} // namespace morvane::columnar
