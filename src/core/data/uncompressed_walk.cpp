// The walk of uncompressed data: the descriptor list once per subset,
// sequences expanded as they are met.
#include <algorithm>
#include <limits>

#include "decode.hpp"
#include "element_values.hpp"
#include "walk_common.hpp"

namespace morvane {

namespace {

Status read_uncompressed_element(std::uint32_t code, const Fxy& fxy, WalkContext& context,
                                 ValueCodingState& state, std::vector<DecodedValue>& out) {
  if (state.new_reference_width != 0) {
    // Inside a 2-03 block the element carries its new reference value.
    if (context.catalog.find(code) == nullptr) return fail(BufrError::missing_element(code));
    auto raw = context.reader.read_u64(state.new_reference_width);
    if (!raw) return fail(std::move(raw.error()));
    state.set_new_reference(code, signed_reference(*raw, state.new_reference_width));
    return {};
  }
  if (state.associated_width != 0 && fxy.x != 31) {
    auto status = read_associated_field(context.reader, state.associated_width, out);
    if (!status) return status;
  }
  const ElementInfo* info = context.catalog.find(code);
  if (info == nullptr) return fail(BufrError::missing_element(code));
  auto value = read_element(*info, context.reader, state, out);
  if (!value) return fail(std::move(value.error()));
  state.override_width.reset();
  if (!state.take_bitmap_entry(code, value->value_or(0.0))) {
    state.descriptor_history.push_back(info);
  }
  return {};
}

Status bitmap_reread(std::uint8_t x, WalkContext& context, ValueCodingState& state,
                     std::vector<DecodedValue>& out) {
  auto next = state.next_bitmap_element();
  if (!next) return fail(std::move(next.error()));
  const ElementInfo* info = *next;
  if (info == nullptr) return {};
  TableCoding coding = table_coding(*info, state);
  if (x == 25) coding = difference_coding(*info->definition, coding);
  auto value = read_element(*info, coding, context.reader, state, out);
  if (!value) return fail(std::move(value.error()));
  return {};
}

Status walk_operator(std::uint32_t code, const Fxy& fxy, WalkContext& context,
                     ValueCodingState& state, std::vector<DecodedValue>& out) {
  switch (apply_operator(fxy, state)) {
  case OperatorAction::None:
    return {};
  case OperatorAction::Marker:
    out.push_back(operator_marker(code));
    return {};
  case OperatorAction::BitmapReread:
    return bitmap_reread(fxy.x, context, state, out);
  case OperatorAction::InsertedText:
    return read_inserted_text(context.reader, code, fxy.y, out);
  }
  return {};
}

} // namespace

Status decode_descriptor_values_inner(std::span<const std::uint32_t> descriptors,
                                      WalkContext& context, ValueCodingState& state,
                                      std::vector<DecodedValue>& out, std::size_t depth) {
  if (depth > kMaxDescriptorDepth) {
    return fail(BufrError::parse("descriptor decode exceeded recursion depth"));
  }
  const std::size_t length = descriptors.size();
  std::size_t i = 0;
  while (i < length) {
    if (!context.budget.charge(1)) return fail(context.budget.exceeded());
    const std::uint32_t code = descriptors[i];
    const Fxy fxy = split_code(code);
    switch (fxy.f) {
    case 0: {
      auto status = read_uncompressed_element(code, fxy, context, state, out);
      if (!status) return status;
      ++i;
      break;
    }
    case 1: {
      const std::size_t x = fxy.x;
      if (x == 0 || i + x >= length) return fail(BufrError::unsupported_replication(code));
      if (fxy.y != 0) {
        const auto group = descriptors.subspan(i + 1, x);
        for (unsigned r = 0; r < fxy.y; ++r) {
          if (!context.budget.charge(1)) return fail(context.budget.exceeded());
          auto status = decode_descriptor_values_inner(group, context, state, out, depth + 1);
          if (!status) return status;
        }
        i += x + 1;
        break;
      }
      if (i + x + 1 >= length) return fail(BufrError::incomplete_delayed_replication(code));
      const std::uint32_t factor_code = descriptors[i + 1];
      const ElementInfo* factor = context.catalog.find(factor_code);
      if (factor == nullptr) return fail(BufrError::missing_element(factor_code));
      auto value = read_element(*factor, context.reader, state, out);
      if (!value) return fail(std::move(value.error()));
      const std::uint64_t count = replication_count(*value);
      state.descriptor_history.push_back(factor);
      const auto group = descriptors.subspan(i + 2, x);
      for (std::uint64_t r = 0; r < count; ++r) {
        if (!context.budget.charge(1)) return fail(context.budget.exceeded());
        auto status = decode_descriptor_values_inner(group, context, state, out, depth + 1);
        if (!status) return status;
      }
      i += x + 2;
      break;
    }
    case 2: {
      auto status = walk_operator(code, fxy, context, state, out);
      if (!status) return status;
      ++i;
      break;
    }
    case 3: {
      const SequenceDefinition* sequence = context.catalog.tables().sequence(code);
      if (sequence == nullptr) return fail(BufrError::missing_sequence(code));
      auto status = decode_descriptor_values_inner(sequence->members, context, state, out, depth + 1);
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

Result<std::vector<DecodedValue>> decode_uncompressed_subsets(const BufrMessage& message,
                                                              WalkContext& context) {
  std::vector<DecodedValue> out;
  // Real messages hold roughly one value per 8 to 16 bits of data.
  out.reserve(std::min<std::size_t>(context.reader.capacity() / 12 + 16, std::size_t{1} << 20));
  ValueCodingState state;
  std::uint64_t text_counter = 0;
  for (std::size_t s = 0; s < message.number_of_subsets; ++s) {
    state = ValueCodingState{};
    state.text_counter = text_counter;
    auto status =
        decode_descriptor_values_inner(message.unexpanded_descriptors, context, state, out, 0);
    if (!status) return fail(std::move(status.error()));
    text_counter = state.text_counter;
  }
  return out;
}

} // namespace morvane
