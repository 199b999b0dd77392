#include "coding_state.hpp"

#include <algorithm>
#include <cmath>

namespace morvane {

Result<std::size_t> ValueCodingState::next_bitmap_index(std::size_t& cursor) const {
  const std::size_t length = bitmap.size();
  if (length == 0 || cursor >= length) return kNoHistory;
  // The bitmap covers the history entries just before `bitmap_base`; its
  // current length is used, so later entries widen the window.
  const std::size_t offset = bitmap_base >= length ? bitmap_base - length : 0;
  while (cursor < length && bitmap[cursor] == 1) ++cursor;
  if (cursor >= length) return kNoHistory;
  const std::size_t index = offset + cursor;
  ++cursor;
  if (index >= descriptor_history.size()) {
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
