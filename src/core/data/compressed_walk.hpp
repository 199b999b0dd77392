// The walk of compressed data: the descriptor list is walked once and each
// element becomes a column holding the values of all subsets. A template
// over its sink (walk_sink.hpp).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "../message.hpp"
#include "compressed_columns.hpp"
#include "walk_common.hpp"
#include "walk_context.hpp"
#include "walk_sink.hpp"

namespace morvane {

template <class Sink> class CompressedWalk {
public:
  CompressedWalk(WalkContext& context, ValueCodingState& state, Sink& sink, std::size_t subsets)
      : context_(context), state_(state), sink_(sink), subsets_(subsets) {}

  [[nodiscard]] Status walk(std::span<const std::uint32_t> descriptors, std::size_t depth);

private:
  [[nodiscard]] Status element(std::uint32_t code, const Fxy& fxy);
  [[nodiscard]] Status replication(std::span<const std::uint32_t> descriptors, std::size_t& i,
                                   std::size_t depth);
  [[nodiscard]] Status operator_descriptor(std::uint32_t code, const Fxy& fxy);

  [[nodiscard]] Status append(ValueColumn&& column, const ElementInfo* info, const NumericCoding& coding,
                              const ItemTag& tag) {
    auto status = charge();
    if (!status) return status;
    sink_.column(std::move(column), info, coding, tag);
    return {};
  }

  // A sink with `wants` may decline an item's values; its bits are then
  // skipped, and an element is still announced to it (`skipped`).
  static constexpr bool kSelects =
      requires(Sink& sink, const ElementInfo* info, const ItemTag& tag) { sink.wants(info, tag); };
  [[nodiscard]] bool wanted(const ElementInfo* info, const ItemTag& tag) {
    if constexpr (kSelects) {
      return sink_.wants(info, tag);
    } else {
      return true;
    }
  }
  [[nodiscard]] Status charge() {
    if (!context_.budget.charge(subsets_)) return fail(context_.budget.exceeded());
    return {};
  }
  [[nodiscard]] Status skip_element(const ElementInfo& info, const TableCoding& table,
                                    const ItemTag& tag);

  [[nodiscard]] Result<ValueColumn> element_column(const ElementInfo& info,
                                                   const TableCoding& table,
                                                   NumericCoding& coding) {
    return read_compressed_element_column(info, table, state_, subsets_, context_.reader,
                                          Sink::kMeanings, Sink::kValues, coding);
  }

  WalkContext& context_;
  ValueCodingState& state_;
  Sink& sink_;
  std::size_t subsets_;
};

template <class Sink>
Status CompressedWalk<Sink>::walk(std::span<const std::uint32_t> descriptors, std::size_t depth) {
  if (depth > kMaxDescriptorDepth) {
    return fail(BufrError::parse("compressed descriptor decode exceeded recursion depth"));
  }
  std::size_t i = 0;
  while (i < descriptors.size()) {
    if (!context_.budget.charge(1)) return fail(context_.budget.exceeded());
    const std::uint32_t code = descriptors[i];
    const Fxy fxy = split_code(code);
    Status status;
    switch (fxy.f) {
    case 0:
      status = element(code, fxy);
      ++i;
      break;
    case 1:
      status = replication(descriptors, i, depth);
      break;
    case 2:
      status = operator_descriptor(code, fxy);
      ++i;
      break;
    case 3: {
      const SequenceDefinition* sequence = context_.catalog.sequence(code);
      if (sequence == nullptr) return fail(BufrError::missing_sequence(code));
      status = walk(sequence->members, depth + 1);
      ++i;
      break;
    }
    default:
      return fail(invalid_descriptor(code));
    }
    if (!status) return status;
  }
  return {};
}

template <class Sink> Status CompressedWalk<Sink>::element(std::uint32_t code, const Fxy& fxy) {
  BitReader& reader = context_.reader;
  if (state_.new_reference_width != 0) {
    // New reference values apply to all subsets and are written once, as
    // plain bits without an increment width (as ecCodes reads them).
    if (context_.catalog.find(code) == nullptr) return fail(BufrError::missing_element(code));
    auto raw = reader.read_u64(state_.new_reference_width);
    if (!raw) return fail(std::move(raw.error()));
    state_.set_new_reference(code, signed_reference(*raw, state_.new_reference_width));
    return {};
  }
  if (state_.associated_width != 0 && fxy.x != 31 && !wanted(nullptr, ItemTag{ItemRole::Associated})) {
    auto status = skip_compressed_numeric_column(state_.associated_width, subsets_, reader);
    if (!status) return status;
    status = charge();
    if (!status) return status;
  } else if (state_.associated_width != 0 && fxy.x != 31) {
    auto column = read_compressed_numeric_column(999999, &associated_field_name(),
                                                 state_.associated_width, 0, 0, false, subsets_,
                                                 reader, Sink::kValues);
    if (!column) return fail(std::move(column.error()));
    auto status = append(std::move(*column), nullptr, NumericCoding{}, ItemTag{ItemRole::Associated});
    if (!status) return status;
  }
  const ElementInfo* info = context_.catalog.find(code);
  if (info == nullptr) return fail(BufrError::missing_element(code));
  ItemTag tag;
  const bool bitmap_entry = code == 31031 && (state_.defining_bitmap || state_.inline_defining ||
                                              state_.inline_pending);
  if (bitmap_entry) {
    tag.role = ItemRole::Bitmap;
  } else if (fxy.x == 33 && !state_.bitmap.empty()) {
    tag.qualifies = state_.next_quality_index();
    if (tag.qualifies != kNoLink) tag.role = ItemRole::Quality;
  }
  // Class 31 steers the walk (bitmaps, replication) and is always read.
  if (!info->class31 && !wanted(info, tag)) return skip_element(*info, table_coding(*info, state_), tag);
  NumericCoding coding{};
  auto column = element_column(*info, table_coding(*info, state_), coding);
  if (!column) return fail(std::move(column.error()));
  // Bitmap entries come from subset 0.
  double first = 0.0;
  if (subsets_ != 0 && column->kind == ValueColumn::Kind::Numeric && column->present[0] != 0) {
    first = column->values[0];
  }
  const bool entry = state_.take_bitmap_entry(code, first);
  auto status = append(std::move(*column), info, coding, tag);
  if (!entry) {
    state_.descriptor_history.push_back(info);
    sink_.remember();
  }
  state_.override_width.reset();
  return status;
}

template <class Sink>
Status CompressedWalk<Sink>::skip_element(const ElementInfo& info, const TableCoding& table,
                                          const ItemTag& tag) {
  NumericCoding coding{};
  auto status = skip_compressed_element_column(info, table, state_, subsets_, context_.reader, coding);
  if (!status) return status;
  status = charge();
  if (!status) return status;
  if constexpr (kSelects) sink_.skipped(info, coding, tag);
  // Not 0-31-031 (class 31 is read), so never a bitmap entry.
  if (!state_.take_bitmap_entry(info.definition->code, 0.0)) {
    state_.descriptor_history.push_back(&info);
    sink_.remember();
  }
  state_.override_width.reset();
  return {};
}

template <class Sink>
Status CompressedWalk<Sink>::replication(std::span<const std::uint32_t> descriptors,
                                         std::size_t& i, std::size_t depth) {
  const std::uint32_t code = descriptors[i];
  const Fxy fxy = split_code(code);
  const std::size_t x = fxy.x;
  if (x == 0 || i + x >= descriptors.size()) return fail(BufrError::unsupported_replication(code));
  if (fxy.y != 0) {
    const auto group = descriptors.subspan(i + 1, x);
    for (unsigned r = 0; r < fxy.y; ++r) {
      if (!context_.budget.charge(1)) return fail(context_.budget.exceeded());
      auto status = walk(group, depth + 1);
      if (!status) return status;
    }
    i += x + 1;
    return {};
  }
  if (i + x + 1 >= descriptors.size()) {
    return fail(BufrError::incomplete_delayed_replication(code));
  }
  const std::uint32_t factor_code = descriptors[i + 1];
  const ElementInfo* factor = context_.catalog.find(factor_code);
  if (factor == nullptr) return fail(BufrError::missing_element(factor_code));
  NumericCoding coding{};
  // Every subset's factor is compared, so all values are computed.
  auto column = read_compressed_element_column(*factor, table_coding(*factor, state_), state_,
                                               subsets_, context_.reader, Sink::kMeanings, true,
                                               coding);
  if (!column) return fail(std::move(column.error()));
  std::uint64_t count = 0;
  if (subsets_ != 0 && column->kind == ValueColumn::Kind::Numeric && column->present[0] != 0) {
    const double first = column->values[0];
    if (!column->constant) {
      for (std::size_t s = 1; s < subsets_; ++s) {
        if (column->present[s] == 0 ||
            std::fabs(column->values[s] - first) > std::numeric_limits<double>::epsilon()) {
          return fail(BufrError::parse(
              "compressed delayed replication with varying factors is not implemented"));
        }
      }
    }
    count = replication_count(first);
  }
  auto status = append(std::move(*column), factor, coding, ItemTag{});
  if (!status) return status;
  state_.descriptor_history.push_back(factor);
  sink_.remember();
  const auto group = descriptors.subspan(i + 2, x);
  for (std::uint64_t r = 0; r < count; ++r) {
    if (!context_.budget.charge(1)) return fail(context_.budget.exceeded());
    auto inner = walk(group, depth + 1);
    if (!inner) return inner;
  }
  i += x + 2;
  return {};
}

template <class Sink>
Status CompressedWalk<Sink>::operator_descriptor(std::uint32_t code, const Fxy& fxy) {
  switch (apply_operator(fxy, state_)) {
  case OperatorAction::None:
    return {};
  case OperatorAction::Marker:
    return append(marker_column(code), nullptr, NumericCoding{}, ItemTag{ItemRole::Marker});
  case OperatorAction::BitmapReread: {
    auto next = state_.next_bitmap_index(state_.bitmap_cursor);
    if (!next) return fail(std::move(next.error()));
    if (*next == ValueCodingState::kNoHistory) return {};
    const ElementInfo* info = state_.descriptor_history[*next];
    TableCoding coding = table_coding(*info, state_);
    if (fxy.x == 25) coding = difference_coding(*info->definition, coding);
    const ItemTag tag{ItemRole::Quality, *next, fxy.x};
    NumericCoding used{};
    if (!wanted(info, tag)) {
      auto status = skip_compressed_element_column(*info, coding, state_, subsets_, context_.reader, used);
      if (!status) return status;
      return charge();
    }
    auto column = element_column(*info, coding, used);
    if (!column) return fail(std::move(column.error()));
    return append(std::move(*column), info, used, tag);
  }
  case OperatorAction::InsertedText: {
    if (!wanted(nullptr, ItemTag{ItemRole::Text})) {
      auto status = skip_text_column(static_cast<std::uint16_t>(fxy.y * 8U), subsets_, context_.reader);
      if (!status) return status;
      return charge();
    }
    auto column = read_text_column(code, &inserted_text_name(),
                                   static_cast<std::uint16_t>(fxy.y * 8U), subsets_,
                                   context_.reader);
    if (!column) return fail(std::move(column.error()));
    return append(std::move(*column), nullptr, NumericCoding{}, ItemTag{ItemRole::Text});
  }
  }
  return {};
}

} // namespace morvane
