// The walk of uncompressed data: the descriptor list once per subset,
// sequences expanded as they are met. A template over its sink
// (walk_sink.hpp) so each output pays only for itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "../message.hpp"
#include "walk_common.hpp"
#include "walk_context.hpp"
#include "walk_sink.hpp"

namespace morvane {

template <class Sink> class UncompressedWalk {
public:
  UncompressedWalk(WalkContext& context, Sink& sink)
      : context_(context), reader_(context.reader), sink_(sink) {}

  [[nodiscard]] Status subsets(const BufrMessage& message) {
    ValueCodingState state;
    std::vector<ResolvedDescriptor> descriptors;
    context_.catalog.resolve(message.unexpanded_descriptors, descriptors);
    std::uint64_t text_counter = 0;
    for (std::size_t s = 0; s < message.number_of_subsets; ++s) {
      state.restart();
      state.text_counter = text_counter;
      sink_.begin_subset();
      auto status = walk(descriptors, state, 0);
      if (!status) return status;
      text_counter = state.text_counter;
    }
    return {};
  }

  // `owner`: the sequence whose members `descriptors` are (or lie within),
  // null for the message's own list.
  [[nodiscard]] Status walk(std::span<const ResolvedDescriptor> descriptors,
                            ValueCodingState& state, std::size_t depth,
                            CatalogSequence* owner = nullptr);

private:
  // Reads one element and hands it to the sink; its numeric value (absent
  // when missing and for character data) goes to `value` when given.
  [[nodiscard]] Status read(const ElementInfo& info, const TableCoding& table,
                            ValueCodingState& state, const ItemTag& tag,
                            std::optional<double>* value);
  // Character data, kept out of line so the numeric reads, nearly all of
  // them, run in a small frame without the text buffer.
  [[nodiscard, gnu::noinline]] Status read_text(const ElementInfo& info, ValueCodingState& state,
                                                const ItemTag& tag);
  // Fields read_numeric_fast declines: width 0, too wide, past the end.
  [[nodiscard, gnu::noinline]] Status read_numeric_slow(const ElementInfo& info,
                                                        const TableCoding& table,
                                                        const ValueCodingState& state,
                                                        NumericRead& read);
  // Once per value: true, or false with the reason in failure_, so that the
  // common path returns a flag rather than a Status through memory. Inline
  // for a numeric element read with its Table B coding, the most of a
  // TEMP; everything else goes to element_general.
  [[nodiscard, gnu::always_inline]] bool element(const ResolvedDescriptor& descriptor,
                                                 ValueCodingState& state);
  [[nodiscard, gnu::noinline]] bool element_general(const ResolvedDescriptor& descriptor,
                                                    ValueCodingState& state);
  [[nodiscard, gnu::noinline]] bool failed(BufrError error) {
    failure_ = std::move(error);
    return false;
  }
  // The element in a 2-03 block and the associated field before it.
  [[nodiscard, gnu::noinline]] Status new_reference(const ResolvedDescriptor& descriptor,
                                                    ValueCodingState& state);
  [[nodiscard, gnu::noinline]] Status associated_field(ValueCodingState& state);
  [[nodiscard]] Status bitmap_reread(std::uint8_t x, ValueCodingState& state);
  [[nodiscard]] Status operator_descriptor(std::uint32_t code, const Fxy& fxy,
                                           ValueCodingState& state);
  // A replicated group `count` times. A group of elements only, or within
  // a sequence also of sequences of elements only (a TEMP level), runs in
  // place, without a walk call per repeat; charges and failures are those
  // of walk().
  [[nodiscard]] Status repeat(std::span<const ResolvedDescriptor> group, std::uint64_t count,
                              ValueCodingState& state, std::size_t depth,
                              CatalogSequence* owner);

  WalkContext& context_;
  // context_.reader, one load nearer for the read of every element.
  BitReader& reader_;
  Sink& sink_;
  BufrError failure_;  // why element() last returned false
};

template <class Sink>
Status UncompressedWalk<Sink>::read_text(const ElementInfo& info, ValueCodingState& state,
                                         const ItemTag& tag) {
  const std::uint16_t width = state.text_width ? *state.text_width : info.width;
  TextField field;
  auto status = field.read(reader_, width);
  if (!status) return status;
  ++state.text_counter;
  sink_.text(info, width, state.text_counter, field.bytes(), tag);
  return {};
}

template <class Sink>
Status UncompressedWalk<Sink>::read_numeric_slow(const ElementInfo& info, const TableCoding& table,
                                                 const ValueCodingState& state,
                                                 NumericRead& read) {
  auto slow = read_numeric(info, table, reader_, state);
  if (!slow) return fail(std::move(slow.error()));
  read = *slow;
  return {};
}

template <class Sink>
Status UncompressedWalk<Sink>::read(const ElementInfo& info, const TableCoding& table,
                                    ValueCodingState& state, const ItemTag& tag,
                                    std::optional<double>* value) {
  if (info.kind == ElementKind::Text) return read_text(info, state, tag);
  NumericRead read;
  if (!read_numeric_fast(info, table, reader_, state, read)) {
    auto status = read_numeric_slow(info, table, state, read);
    if (!status) return status;
  }
  sink_.numeric(info, read.coding, read.raw, read.present, read.value, tag);
  if (value != nullptr && read.present) *value = read.value;
  return {};
}

template <class Sink>
Status UncompressedWalk<Sink>::new_reference(const ResolvedDescriptor& descriptor,
                                             ValueCodingState& state) {
  if (descriptor.element == nullptr) return fail(BufrError::missing_element(descriptor.code));
  auto raw = reader_.read_u64(state.new_reference_width);
  if (!raw) return fail(std::move(raw.error()));
  state.set_new_reference(descriptor.code, signed_reference(*raw, state.new_reference_width));
  return {};
}

template <class Sink> Status UncompressedWalk<Sink>::associated_field(ValueCodingState& state) {
  auto raw = reader_.read_u64(state.associated_width);
  if (!raw) return fail(std::move(raw.error()));
  sink_.associated(state.associated_width, *raw);
  return {};
}

template <class Sink>
bool UncompressedWalk<Sink>::element(const ResolvedDescriptor& descriptor,
                                     ValueCodingState& state) {
  const ElementRoute route = descriptor.route;
  if (route == ElementRoute::General || state.codings_changed ||
      (route == ElementRoute::BitmapEntry && !state.in_bitmap())) [[unlikely]] {
    return element_general(descriptor, state);
  }
  const ElementInfo& info = *descriptor.element;
  std::uint64_t raw;
  // Nothing is read when the field is too wide or near the end.
  if (!reader_.read_short(info.width, raw)) [[unlikely]] {
    return element_general(descriptor, state);
  }
  const bool present = raw != info.missing_raw;
  const double value = present ? table_value(info, raw) : 0.0;
  const NumericCoding& coding = info.coding;
  if (route == ElementRoute::BitmapEntry) {
    // The state first, so that the value need not outlive the sink's call.
    state.bitmap.push_back(ValueCodingState::bitmap_entry(value));
    sink_.numeric(info, coding, raw, present, value, kBitmapTag);
    return true;
  }
  // The state first here too: the sink's call is then the last use of most values.
  if (route == ElementRoute::Quality && !state.bitmap.empty()) {
    ItemTag tag;
    tag.qualifies = state.next_quality_index();
    if (tag.qualifies != kNoLink) tag.role = ItemRole::Quality;
    state.end_inline_bitmap();
    state.descriptor_history.push_back(&info);
    sink_.numeric(info, coding, raw, present, value, tag);
  } else {
    state.end_inline_bitmap();
    state.descriptor_history.push_back(&info);
    sink_.numeric(info, coding, raw, present, value, kElementTag);
  }
  sink_.remember();
  return true;
}

template <class Sink>
bool UncompressedWalk<Sink>::element_general(const ResolvedDescriptor& descriptor,
                                             ValueCodingState& state) {
  // Inside a 2-03 block the element carries its new reference value.
  if (state.new_reference_width != 0) [[unlikely]] {
    auto status = new_reference(descriptor, state);
    return status ? true : failed(std::move(status.error()));
  }
  if (state.associated_width != 0 && descriptor.fxy.x != 31) [[unlikely]] {
    auto status = associated_field(state);
    if (!status) return failed(std::move(status.error()));
  }
  const std::uint32_t code = descriptor.code;
  const ElementInfo* info = descriptor.element;
  if (info == nullptr) [[unlikely]] return failed(BufrError::missing_element(code));
  ItemTag tag;
  // 0-31-031 while a bitmap is being defined is a bitmap entry; class 33
  // after a bitmap qualifies the elements it marks.
  const bool bitmap_entry = code == 31031 && (state.defining_bitmap || state.inline_defining ||
                                              state.inline_pending);
  if (bitmap_entry) {
    tag.role = ItemRole::Bitmap;
  } else if (descriptor.fxy.x == 33 && !state.bitmap.empty()) {
    tag.qualifies = state.next_quality_index();
    if (tag.qualifies != kNoLink) tag.role = ItemRole::Quality;
  }
  // Character data counts as 0 should it be a bitmap entry.
  double value = 0.0;
  if (info->kind == ElementKind::Text) [[unlikely]] {
    auto status = read_text(*info, state, tag);
    if (!status) return failed(std::move(status.error()));
  } else {
    const TableCoding table = table_coding(*info, state);
    NumericRead read;
    if (!read_numeric_fast(*info, table, reader_, state, read)) [[unlikely]] {
      auto status = read_numeric_slow(*info, table, state, read);
      if (!status) return failed(std::move(status.error()));
    }
    sink_.numeric(*info, read.coding, read.raw, read.present, read.value, tag);
    if (read.present) value = read.value;
  }
  state.override_width.reset();
  state.recheck_codings();
  if (code == 31031) [[unlikely]] {
    if (state.take_bitmap_value(value)) return true;
  } else {
    state.end_inline_bitmap();
  }
  state.descriptor_history.push_back(info);
  sink_.remember();
  return true;
}

template <class Sink>
Status UncompressedWalk<Sink>::bitmap_reread(std::uint8_t x, ValueCodingState& state) {
  auto next = state.next_bitmap_index(state.bitmap_cursor);
  if (!next) return fail(std::move(next.error()));
  if (*next == ValueCodingState::kNoHistory) return {};
  const ElementInfo* info = state.descriptor_history[*next];
  TableCoding coding = table_coding(*info, state);
  if (x == 25) coding = difference_coding(*info->definition, coding);
  return read(*info, coding, state, ItemTag{ItemRole::Quality, *next, x}, nullptr);
}

template <class Sink>
Status UncompressedWalk<Sink>::operator_descriptor(std::uint32_t code, const Fxy& fxy,
                                                   ValueCodingState& state) {
  switch (apply_operator(fxy, state)) {
  case OperatorAction::None:
    return {};
  case OperatorAction::Marker:
    sink_.marker(code);
    return {};
  case OperatorAction::BitmapReread:
    return bitmap_reread(fxy.x, state);
  case OperatorAction::InsertedText: {
    std::uint8_t buffer[256];
    auto status = reader_.read_bytes_into(static_cast<std::uint16_t>(fxy.y * 8U), buffer);
    if (!status) return status;
    sink_.inserted_text(code, {buffer, fxy.y});
    return {};
  }
  }
  return {};
}

template <class Sink>
Status UncompressedWalk<Sink>::repeat(std::span<const ResolvedDescriptor> group,
                                      std::uint64_t count, ValueCodingState& state,
                                      std::size_t depth, CatalogSequence* owner) {
  WorkBudget& budget = context_.budget;
  std::span<const ResolvedDescriptor> elements = group;
  bool in_place = depth + 1 <= kMaxDescriptorDepth &&
                  std::all_of(group.begin(), group.end(),
                              [](const ResolvedDescriptor& member) { return member.fxy.f == 0; });
  std::uint64_t visits = group.size();
  std::uint64_t r = 0;
  if (!in_place && owner != nullptr && count > 1) {
    // The first repetition is walked: it resolves the group's sequences in
    // walk order, and the flat list is made from them.
    if (!budget.charge(1)) return fail(budget.exceeded());
    auto status = walk(group, state, depth + 1, owner);
    if (!status) return status;
    r = 1;
    const FlatGroup* flat = context_.catalog.flat_group(
        *owner, static_cast<std::size_t>(group.data() - owner->members.data()), group,
        kMaxDescriptorDepth);
    if (flat != nullptr && depth + 1 + flat->nesting <= kMaxDescriptorDepth) {
      elements = flat->elements;
      visits = flat->visits;
      in_place = true;
    }
  }
  // When every repetition's charges fit, they are made at once and the
  // members run as one loop, without a per-repetition charge.
  std::uint64_t units = 0;
  if (in_place && r < count && !__builtin_mul_overflow(count - r, visits + 1, &units) &&
      budget.charge_ahead(units)) {
    if (elements.empty()) return {};
    const ResolvedDescriptor* const first = elements.data();
    const ResolvedDescriptor* const last = first + elements.size();
    const ResolvedDescriptor* member = first;
    for (std::uint64_t left = count - r;;) {
      if (!element(*member, state)) [[unlikely]] return fail(std::move(failure_));
      if (++member == last) {
        if (--left == 0) return {};
        member = first;
      }
    }
  }
  for (; r < count; ++r) {
    if (!budget.charge(1)) return fail(budget.exceeded());
    // Near the limit the walk charges each descriptor where it fails.
    if (!in_place || !budget.charge_ahead(visits)) {
      auto status = walk(group, state, depth + 1, owner);
      if (!status) return status;
      continue;
    }
    for (const ResolvedDescriptor& member : elements) {
      if (!element(member, state)) [[unlikely]] return fail(std::move(failure_));
    }
  }
  return {};
}

template <class Sink>
Status UncompressedWalk<Sink>::walk(std::span<const ResolvedDescriptor> descriptors,
                                    ValueCodingState& state, std::size_t depth,
                                    CatalogSequence* owner) {
  if (depth > kMaxDescriptorDepth) {
    return fail(BufrError::parse("descriptor decode exceeded recursion depth"));
  }
  WorkBudget& budget = context_.budget;
  const std::size_t length = descriptors.size();
  std::size_t i = 0;
  while (i < length) {
    if (!budget.charge(1)) return fail(budget.exceeded());
    const ResolvedDescriptor& descriptor = descriptors[i];
    const std::uint32_t code = descriptor.code;
    const Fxy fxy = descriptor.fxy;
    switch (fxy.f) {
    case 0: {
      if (!element(descriptor, state)) [[unlikely]] return fail(std::move(failure_));
      ++i;
      break;
    }
    case 1: {
      const std::size_t x = fxy.x;
      if (x == 0 || i + x >= length) return fail(BufrError::unsupported_replication(code));
      if (fxy.y != 0) {
        auto status = repeat(descriptors.subspan(i + 1, x), fxy.y, state, depth, owner);
        if (!status) return status;
        i += x + 1;
        break;
      }
      if (i + x + 1 >= length) return fail(BufrError::incomplete_delayed_replication(code));
      // The factor is looked up as an element whatever its F.
      const ResolvedDescriptor& next = descriptors[i + 1];
      const ElementInfo* factor =
          next.fxy.f == 0 ? next.element : context_.catalog.find(next.code);
      if (factor == nullptr) return fail(BufrError::missing_element(next.code));
      std::optional<double> value;
      auto status = read(*factor, table_coding(*factor, state), state, ItemTag{}, &value);
      if (!status) return status;
      const std::uint64_t count = replication_count(value);
      state.descriptor_history.push_back(factor);
      sink_.remember();
      status = repeat(descriptors.subspan(i + 2, x), count, state, depth, owner);
      if (!status) return status;
      i += x + 2;
      break;
    }
    case 2: {
      auto status = operator_descriptor(code, fxy, state);
      if (!status) return status;
      ++i;
      break;
    }
    case 3: {
      if (descriptor.sequence == nullptr) return fail(BufrError::missing_sequence(code));
      auto status = walk(context_.catalog.members(*descriptor.sequence), state, depth + 1,
                         descriptor.sequence);
      if (!status) return status;
      ++i;
      break;
    }
    default:
      return fail(invalid_descriptor(code));
    }
  }
  return {};
}

} // namespace morvane
