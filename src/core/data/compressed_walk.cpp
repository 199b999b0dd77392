// The walk of compressed data: every element is stored once for all subsets
// as a local reference R0, a 6-bit increment width NBINC and, when NBINC is
// not 0, one increment per subset. The descriptor list is walked once and
// each element becomes a column of values.
#include <cmath>
#include <limits>

#include "decode.hpp"
#include "element_values.hpp"
#include "walk_common.hpp"

namespace morvane {

namespace {

constexpr unsigned kNbincWidth = 6;

Result<unsigned> read_nbinc(BitReader& reader) {
  if (reader.remaining() < kNbincWidth) {
    return fail(not_enough_bits(reader.bit_position(), kNbincWidth, reader.capacity()));
  }
  auto value = reader.read_u64(kNbincWidth);
  if (!value) return fail(std::move(value.error()));
  return static_cast<unsigned>(*value);
}

ValueColumn numeric_column(std::uint32_t code, const std::string* name, bool constant,
                           std::size_t entries) {
  ValueColumn column;
  column.kind = ValueColumn::Kind::Numeric;
  column.constant = constant;
  column.descriptor = code;
  column.name = name;
  column.raws.resize(entries);
  column.values.resize(entries);
  column.present.resize(entries);
  return column;
}

ValueColumn marker_column(std::uint32_t code) {
  ValueColumn column = numeric_column(code, &operator_name(), true, 1);
  column.present[0] = 1;
  return column;
}

// Character data: R0 of `width` bits, NBINC in octets, NBINC octets per subset.
Result<ValueColumn> read_text_column(std::uint32_t code, const std::string* name,
                                     std::uint16_t width, std::size_t subsets, BitReader& reader) {
  ValueColumn column;
  column.kind = ValueColumn::Kind::Text;
  column.descriptor = code;
  column.name = name;
  std::vector<std::uint8_t> bytes((width + 7U) / 8U);
  auto status = reader.read_bytes_into(width, bytes.data());
  if (!status) return fail(std::move(status.error()));
  auto nbinc = read_nbinc(reader);
  if (!nbinc) return fail(std::move(nbinc.error()));
  if (*nbinc == 0 || subsets == 0) {
    column.constant = true;
    column.texts.push_back(decode_ia5_text(bytes));
    return column;
  }
  const auto increment_bits = static_cast<std::uint16_t>(*nbinc * 8U);
  bytes.resize(*nbinc);
  column.texts.reserve(subsets);
  for (std::size_t s = 0; s < subsets; ++s) {
    auto read = reader.read_bytes_into(increment_bits, bytes.data());
    if (!read) return fail(std::move(read.error()));
    column.texts.push_back(decode_ia5_text(bytes));
  }
  return column;
}

Result<ValueColumn> read_compressed_element_column(const ElementInfo& info,
                                                   const TableCoding& table,
                                                   ValueCodingState& state, std::size_t subsets,
                                                   BitReader& reader) {
  const ElementDefinition& definition = *info.definition;
  if (info.kind == ElementKind::Text) {
    const std::uint16_t width = state.text_width ? *state.text_width : definition.width;
    auto column = read_text_column(definition.code, &definition.name, width, subsets, reader);
    if (!column) return column;
    const std::uint64_t k = state.compressed_text_counter++;
    column->numbered = true;
    column->text_base = static_cast<double>(subsets) * static_cast<double>(k);
    column->text_width_bytes = static_cast<double>(width / 8U);
    return column;
  }
  const NumericCoding coding = numeric_coding(table, info.kind, state);
  auto column = read_compressed_numeric_column(definition.code, &definition.name, coding.width,
                                               coding.reference, coding.scale, !info.class31,
                                               subsets, reader);
  if (!column) return column;
  if (info.code_table != nullptr) {
    column->meanings.resize(column->raws.size());
    for (std::size_t e = 0; e < column->raws.size(); ++e) {
      auto it = info.code_table->find(column->raws[e]);
      column->meanings[e] = it == info.code_table->end() ? nullptr : &it->second;
    }
  }
  return column;
}

class CompressedWalk {
public:
  CompressedWalk(WalkContext& context, ValueCodingState& state, std::vector<ValueColumn>& columns,
                 std::size_t subsets)
      : context_(context), state_(state), columns_(columns), subsets_(subsets) {}

  Status walk(std::span<const std::uint32_t> descriptors, std::size_t depth);

private:
  Status element(std::uint32_t code, const Fxy& fxy);
  Status replication(std::span<const std::uint32_t> descriptors, std::size_t& i,
                     std::size_t depth);
  Status operator_descriptor(std::uint32_t code, const Fxy& fxy);

  Status append(ValueColumn&& column) {
    if (!context_.budget.charge(subsets_)) return fail(context_.budget.exceeded());
    columns_.push_back(std::move(column));
    return {};
  }

  WalkContext& context_;
  ValueCodingState& state_;
  std::vector<ValueColumn>& columns_;
  std::size_t subsets_;
};

Status CompressedWalk::walk(std::span<const std::uint32_t> descriptors, std::size_t depth) {
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
      const SequenceDefinition* sequence = context_.catalog.tables().sequence(code);
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

Status CompressedWalk::element(std::uint32_t code, const Fxy& fxy) {
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
  if (state_.associated_width != 0 && fxy.x != 31) {
    auto column = read_compressed_numeric_column(999999, &associated_field_name(),
                                                 state_.associated_width, 0, 0, false, subsets_,
                                                 reader);
    if (!column) return fail(std::move(column.error()));
    auto status = append(std::move(*column));
    if (!status) return status;
  }
  const ElementInfo* info = context_.catalog.find(code);
  if (info == nullptr) return fail(BufrError::missing_element(code));
  auto column = read_compressed_element_column(*info, table_coding(*info, state_), state_,
                                               subsets_, reader);
  if (!column) return fail(std::move(column.error()));
  // Bitmap entries come from subset 0.
  double first = 0.0;
  if (subsets_ != 0 && column->kind == ValueColumn::Kind::Numeric && column->present[0] != 0) {
    first = column->values[0];
  }
  if (!state_.take_bitmap_entry(code, first)) state_.descriptor_history.push_back(info);
  auto status = append(std::move(*column));
  state_.override_width.reset();
  return status;
}

Status CompressedWalk::replication(std::span<const std::uint32_t> descriptors, std::size_t& i,
                                   std::size_t depth) {
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
  auto column = read_compressed_element_column(*factor, table_coding(*factor, state_), state_,
                                               subsets_, context_.reader);
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
  auto status = append(std::move(*column));
  if (!status) return status;
  state_.descriptor_history.push_back(factor);
  const auto group = descriptors.subspan(i + 2, x);
  for (std::uint64_t r = 0; r < count; ++r) {
    if (!context_.budget.charge(1)) return fail(context_.budget.exceeded());
    auto inner = walk(group, depth + 1);
    if (!inner) return inner;
  }
  i += x + 2;
  return {};
}

Status CompressedWalk::operator_descriptor(std::uint32_t code, const Fxy& fxy) {
  switch (apply_operator(fxy, state_)) {
  case OperatorAction::None:
    return {};
  case OperatorAction::Marker:
    return append(marker_column(code));
  case OperatorAction::BitmapReread: {
    auto next = state_.next_bitmap_element();
    if (!next) return fail(std::move(next.error()));
    const ElementInfo* info = *next;
    if (info == nullptr) return {};
    TableCoding coding = table_coding(*info, state_);
    if (fxy.x == 25) coding = difference_coding(*info->definition, coding);
    auto column = read_compressed_element_column(*info, coding, state_, subsets_, context_.reader);
    if (!column) return fail(std::move(column.error()));
    return append(std::move(*column));
  }
  case OperatorAction::InsertedText: {
    auto column = read_text_column(code, &inserted_text_name(),
                                   static_cast<std::uint16_t>(fxy.y * 8U), subsets_,
                                   context_.reader);
    if (!column) return fail(std::move(column.error()));
    return append(std::move(*column));
  }
  }
  return {};
}

} // namespace

Result<ValueColumn> read_compressed_numeric_column(std::uint32_t code, const std::string* name,
                                                   std::uint16_t width, std::int64_t reference,
                                                   std::int32_t scale, bool missing_rule,
                                                   std::size_t subsets, BitReader& reader) {
  auto r0_read = reader.read_u64(width);
  if (!r0_read) return fail(std::move(r0_read.error()));
  const std::uint64_t r0 = *r0_read;
  auto nbinc_read = read_nbinc(reader);
  if (!nbinc_read) return fail(std::move(nbinc_read.error()));
  const unsigned nbinc = *nbinc_read;
  const bool r0_missing = missing_rule && all_ones(r0, width);

  if (nbinc == 0 || subsets == 0) {
    ValueColumn column = numeric_column(code, name, true, 1);
    column.raws[0] = r0;
    if (!r0_missing) {
      column.present[0] = 1;
      column.values[0] = element_value(reference, r0, scale);
    }
    return column;
  }

  ValueColumn column = numeric_column(code, name, false, subsets);
  const std::uint64_t missing_increment = (std::uint64_t{1} << nbinc) - 1U;
  const bool enough = reader.remaining() / nbinc >= subsets;
  for (std::size_t s = 0; s < subsets; ++s) {
    std::uint64_t increment;
    if (enough) {
      increment = reader.peek_unchecked(nbinc);
      reader.skip_unchecked(nbinc);
    } else {
      auto read = reader.read_u64(static_cast<std::uint16_t>(nbinc));
      if (!read) return fail(std::move(read.error()));
      increment = *read;
    }
    if (r0_missing || (missing_rule && increment == missing_increment)) {
      column.raws[s] = r0;
      continue;
    }
    const std::uint64_t raw = r0 + increment;
    column.raws[s] = raw;
    column.present[s] = 1;
    column.values[s] = element_value(reference, raw, scale);
  }
  return column;
}

Status decode_compressed_descriptors_inner(std::span<const std::uint32_t> descriptors,
                                           WalkContext& context, ValueCodingState& state,
                                           std::vector<ValueColumn>& columns,
                                           std::size_t subsets, std::size_t depth) {
  CompressedWalk walk(context, state, columns, subsets);
  return walk.walk(descriptors, depth);
}

Result<DecodedData> decode_compressed_message(const BufrMessage& message, WalkContext& context) {
  DecodedData data;
  data.compressed = true;
  data.subsets = message.number_of_subsets;
  ValueCodingState state;
  CompressedWalk walk(context, state, data.columns, data.subsets);
  auto status = walk.walk(message.unexpanded_descriptors, 0);
  if (!status) return fail(std::move(status.error()));
  return data;
}

} // namespace morvane
