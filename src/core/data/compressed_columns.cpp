// Reading the columns of compressed data.
#include <cmath>
#include <limits>

#include "compressed_columns.hpp"

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

} // namespace

ValueColumn marker_column(std::uint32_t code) {
  ValueColumn column = numeric_column(code, &operator_name(), true, 1);
  column.present[0] = 1;
  return column;
}

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
                                                   BitReader& reader, bool meanings,
                                                   NumericCoding& coding) {
  const ElementDefinition& definition = *info.definition;
  coding = NumericCoding{};
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
  coding = numeric_coding(table, info.kind, state);
  auto column = read_compressed_numeric_column(definition.code, &definition.name, coding.width,
                                               coding.reference, coding.scale, !info.class31,
                                               subsets, reader);
  if (!column) return column;
  if (meanings && info.code_table != nullptr) {
    column->meanings.resize(column->raws.size());
    for (std::size_t e = 0; e < column->raws.size(); ++e) {
      auto it = info.code_table->find(column->raws[e]);
      column->meanings[e] = it == info.code_table->end() ? nullptr : &it->second;
    }
  }
  return column;
}

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

} // namespace morvane
