// Flattening a descriptor list through Table D.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../error.hpp"
#include "table_set.hpp"

namespace morvane {

struct ExpansionState {
  std::uint8_t associated_width = 0;
  // Codes visited and groups repeated so far: nested replications of groups
  // that append nothing (operators, empty sequences) still cost time.
  std::uint64_t steps = 0;
};

inline constexpr std::uint32_t kAssociatedFieldMarker = 999999;

[[nodiscard]] Status expand_into(const TableSet& tables, std::span<const std::uint32_t> codes,
                   std::vector<std::uint32_t>& out, ExpansionState& state, std::size_t depth);

// Fresh state, depth 0.
[[nodiscard]] Result<std::vector<std::uint32_t>> expand(const TableSet& tables,
                                          std::span<const std::uint32_t> codes);

} // namespace morvane
