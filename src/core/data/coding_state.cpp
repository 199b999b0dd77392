#include "coding_state.hpp"

#include <algorithm>
#include <cmath>

namespace morvane {

Result<std::size_t> ValueCodingState::next_bitmap_index(std::size_t& cursor) const {
  const std::size_t index = advance_bitmap(cursor);
  if (index != kNoHistory && index >= descriptor_history.size()) {
    return fail(BufrError::parse("bitmap reference is outside descriptor history"));
  }
  return index;
}

Result<const ElementInfo*> ValueCodingState::next_bitmap_element() {
  auto index = next_bitmap_index(bitmap_cursor);
  if (!index) return fail(std::move(index.error()));
  if (*index == kNoHistory) return static_cast<const ElementInfo*>(nullptr);
  return descriptor_history[*index];
}

void ValueCodingState::set_new_reference(std::uint32_t code, std::int64_t reference) {
  for (auto& entry : new_references) {
    if (entry.first == code) {
      entry.second = reference;
      return;
    }
  }
  new_references.emplace_back(code, reference);
}

bool ValueCodingState::take_first_bitmap_value(double value) {
  if (inline_pending) {
    bitmap.clear();
    bitmap_cursor = 0;
    quality_cursor = 0;
    bitmap_base = *inline_anchor;
    inline_pending = false;
    inline_defining = true;
  } else if (!defining_bitmap && !inline_defining) {
    return false;
  }
  bitmap.push_back(bitmap_entry(value));
  return true;
}

} // namespace morvane
