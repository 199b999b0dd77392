// What one walk reads from and is limited by, besides the coding state.
#pragma once

#include <cstddef>

#include "../bitstream.hpp"
#include "element_catalog.hpp"
#include "work_budget.hpp"

namespace morvane {

inline constexpr std::size_t kMaxDescriptorDepth = 64;

struct WalkContext {
  ElementCatalog& catalog;
  BitReader& reader;
  WorkBudget& budget;
};

} // namespace morvane
