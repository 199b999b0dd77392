#include "row_cut.hpp"

#include <algorithm>
#include <optional>
#include <utility>

namespace morvane::columnar {

namespace {

constexpr std::int64_t kLastCoordinateCode = 9999;

// The keys held, in the order they were first held; holding a key again
// keeps its place and takes the new reference.
class HeldKeys {
public:
  [[nodiscard]] bool empty() const { return entries_.empty(); }
  [[nodiscard]] bool holds(std::int32_t name) const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [name](const auto& entry) { return entry.first == name; });
  }
  void hold(std::int32_t name, std::int64_t reference) {
    for (auto& entry : entries_) {
      if (entry.first == name) {
        entry.second = reference;
        return;
      }
    }
    entries_.emplace_back(name, reference);
  }
  void drop_last() { entries_.pop_back(); }
  void emit(CutRows& out) const {
    for (const auto& [name, reference] : entries_) {
      out.names.push_back(name);
      out.references.push_back(reference);
    }
    out.row_starts.push_back(static_cast<std::int64_t>(out.names.size()));
  }

private:
  std::vector<std::pair<std::int32_t, std::int64_t>> entries_;
};

} // namespace

std::vector<std::int32_t> key_levels(std::span<const std::int64_t> codes,
                                     std::span<const std::int32_t> names, std::int32_t first_level) {
  std::vector<std::int32_t> out(codes.size());
  // Open coordinates, innermost last: (name, level it opened at).
  std::vector<std::pair<std::int32_t, std::int32_t>> open;
  std::int32_t level = first_level;
  for (std::size_t i = 0; i < codes.size() && i < names.size(); ++i) {
    const bool coordinate = codes[i] <= kLastCoordinateCode;
    if (coordinate) {
      auto is_open = [&] {
        return std::any_of(open.begin(), open.end(),
                           [&](const auto& entry) { return entry.first == names[i]; });
      };
      while (is_open()) {
        level = open.back().second;
        open.pop_back();
      }
    }
    out[i] = level;
    if (coordinate) {
      open.emplace_back(names[i], level);
      ++level;
    }
  }
  return out;
}

namespace {

void cut_into(std::span<const RowStep> steps, std::span<const std::int32_t> filter_names,
              std::int32_t count_name, std::int64_t count_reference, CutRows& out) {
  HeldKeys held;
  // Levels of the held keys, over a bottom entry at level 0 (which stands
  // for the count when it is held).
  std::vector<std::int32_t> levels{0};
  if (count_name >= 0) held.hold(count_name, count_reference);
  std::optional<std::int32_t> failed_level;
  auto filters_held = [&] {
    return std::all_of(filter_names.begin(), filter_names.end(),
                       [&](std::int32_t name) { return held.holds(name); });
  };
  auto closes = [&](const RowStep& step) {
    return !levels.empty() && (step.level < levels.back() ||
                               (step.level == levels.back() && held.holds(step.name)));
  };
  for (const RowStep& step : steps) {
    if (failed_level && step.level > *failed_level) continue;
    if (closes(step) && filters_held()) held.emit(out);
    while (!held.empty() && closes(step)) {
      held.drop_last();
      levels.pop_back();
    }
    if (step.filter == FilterOutcome::Failed) {
      failed_level = step.level;
      continue;
    }
    if (step.filter == FilterOutcome::Passed) failed_level.reset();
    held.hold(step.name, step.reference);
    levels.push_back(step.level);
  }
  if (filters_held()) held.emit(out);
}

constexpr std::uint32_t kCancelBitmap = 235000;

bool is_quality_operator(std::uint32_t code) {
  return code == 222000 || code == 223000 || code == 224000 || code == 225000 || code == 232000;
}

} // namespace

CutRows cut_rows(std::span<const RowStep> steps, std::span<const std::int32_t> filter_names,
                 std::int32_t count_name, std::int64_t count_reference) {
  CutRows out;
  cut_into(steps, filter_names, count_name, count_reference, out);
  return out;
}

bool cut_subsets(const SubsetItems& items, std::span<const std::int32_t> filter_names,
                 std::int32_t count_name, std::int64_t count_reference, SubsetRows& out) {
  const std::size_t n = items.codes.size();
  if (items.outcomes.size() != n || items.subset_starts.empty() ||
      items.header_outcomes.size() != items.header_names.size() || items.subset_starts.back() > n) {
    return false;
  }
  std::vector<std::int64_t> element_codes;
  std::vector<std::int32_t> element_names;
  std::vector<std::size_t> element_items;
  std::vector<RowStep> steps;
  for (std::size_t s = 0; s + 1 < items.subset_starts.size(); ++s) {
    const std::uint64_t begin = items.subset_starts[s];
    const std::uint64_t end = items.subset_starts[s + 1];
    // Every start against the items, not only the last: a bad one in between would run past them.
    if (begin > end || end > n) return false;
    element_codes.clear();
    element_names.clear();
    element_items.clear();
    bool quality = false;
    for (std::uint64_t i = begin; i < end; ++i) {
      const std::uint32_t code = items.codes[i];
      if (is_quality_operator(code)) quality = true;
      if (code == kCancelBitmap) quality = false;
      const std::int32_t name = code < items.code_names.size() ? items.code_names[code] : -1;
      if (code >= 100000 || quality || name < 0) continue;
      if (static_cast<std::size_t>(name) >= items.wanted.size()) return false;
      element_codes.push_back(code);
      element_names.push_back(name);
      element_items.push_back(i);
    }
    const std::vector<std::int32_t> levels = key_levels(element_codes, element_names, items.first_level);
    steps.clear();
    for (std::size_t h = 0; h < items.header_names.size(); ++h) {
      if (items.header_outcomes[h] > 2) return false;
      steps.push_back({items.header_names[h], 0, -2 - static_cast<std::int64_t>(h),
                       static_cast<FilterOutcome>(items.header_outcomes[h])});
    }
    for (std::size_t e = 0; e < element_names.size(); ++e) {
      if (items.wanted[static_cast<std::size_t>(element_names[e])] == 0) continue;
      const std::uint8_t outcome = items.outcomes[element_items[e]];
      if (outcome > 2) return false;
      steps.push_back({element_names[e], levels[e], static_cast<std::int64_t>(element_items[e]),
                       static_cast<FilterOutcome>(outcome)});
    }
    const std::size_t rows_before = out.rows.row_starts.size();
    cut_into(steps, filter_names, count_name, count_reference, out.rows);
    out.row_subsets.insert(out.row_subsets.end(), out.rows.row_starts.size() - rows_before, s);
  }
  return true;
}

} // namespace morvane::columnar
