// Reading the columns of compressed data.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "compressed_columns.hpp"

namespace morvane {

namespace {

constexpr unsigned kNbincWidth = 6;

[[nodiscard]] Result<unsigned> read_nbinc(BitReader& reader) {
  if (reader.remaining() < kNbincWidth) {
    return fail(not_enough_bits(reader.bit_position(), kNbincWidth, reader.capacity()));
  }
  auto value = reader.read_u64(kNbincWidth);
  if (!value) return fail(std::move(value.error()));
  return static_cast<unsigned>(*value);
}

ValueColumn numeric_column(std::uint32_t code, const std::string* name, bool constant,
                           std::size_t entries, std::size_t value_entries) {
  ValueColumn column;
  column.kind = ValueColumn::Kind::Numeric;
  column.constant = constant;
  column.descriptor = code;
  column.name = name;
  column.raws.resize(entries);
  column.values.resize(value_entries);
  column.present.resize(entries);
  return column;
}

} // namespace

ValueColumn marker_column(std::uint32_t code) {
  ValueColumn column = numeric_column(code, &operator_name(), true, 1, 1);
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
    column.text_octets = bytes.size();
    column.text_fields = std::move(bytes);
    return column;
  }
  const auto increment_bits = static_cast<std::uint16_t>(*nbinc * 8U);
  column.text_octets = *nbinc;
  // Sized for the fields the data can hold (and the one whose read fails),
  // not for what a forged subset count claims.
  const std::size_t fit = std::min(subsets, reader.remaining() / increment_bits + 1);
  column.text_fields.resize(fit * column.text_octets);
  for (std::size_t s = 0; s < subsets; ++s) {
    auto read = reader.read_bytes_into(increment_bits, column.text_fields.data() + s * column.text_octets);
    if (!read) return fail(std::move(read.error()));
  }
  return column;
}

Result<ValueColumn> read_compressed_element_column(const ElementInfo& info,
                                                   const TableCoding& table,
                                                   ValueCodingState& state, std::size_t subsets,
                                                   BitReader& reader, bool meanings,
                                                   bool all_values, NumericCoding& coding) {
  const ElementDefinition& definition = *info.definition;
  coding = NumericCoding{};
  if (info.kind == ElementKind::Text) {
    const std::uint16_t width = state.text_width ? *state.text_width : info.width;
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
                                               subsets, reader, all_values);
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
                                                   std::size_t subsets, BitReader& reader,
                                                   bool all_values) {
  auto r0_read = reader.read_u64(width);
  if (!r0_read) return fail(std::move(r0_read.error()));
  const std::uint64_t r0 = *r0_read;
  auto nbinc_read = read_nbinc(reader);
  if (!nbinc_read) return fail(std::move(nbinc_read.error()));
  const unsigned nbinc = *nbinc_read;
  const bool r0_missing = missing_rule && all_ones(r0, width);

  if (nbinc == 0 || subsets == 0) {
    ValueColumn column = numeric_column(code, name, true, 1, 1);
    column.raws[0] = r0;
    if (!r0_missing) {
      column.present[0] = 1;
      column.values[0] = element_value(reference, r0, scale);
    }
    return column;
  }

  ValueColumn column = numeric_column(code, name, false, subsets, all_values ? subsets : 1);
  std::uint64_t* raws = column.raws.data();
  if (reader.remaining() / nbinc >= subsets) {
    for (std::size_t s = 0; s < subsets; ++s) {
      raws[s] = reader.peek_unchecked(nbinc);
      reader.skip_unchecked(nbinc);
    }
  } else {
    for (std::size_t s = 0; s < subsets; ++s) {
      auto read = reader.read_u64(static_cast<std::uint16_t>(nbinc));
      if (!read) return fail(std::move(read.error()));
      raws[s] = *read;
    }
  }
  // The increments become raws, presence and values in a second pass that
  // has no bit reading in it; the divisor is looked up once.
  const std::uint64_t missing_increment = (std::uint64_t{1} << nbinc) - 1U;
  std::uint8_t* present = column.present.data();
  double* values = column.values.data();
  constexpr std::int64_t kSafe = std::int64_t{1} << 61U;
  const bool narrow = nbinc <= 60 && r0 < static_cast<std::uint64_t>(kSafe) && reference > -kSafe &&
                      reference < kSafe;
  const double divisor = power_of_ten(scale);
  for (std::size_t s = 0; s < subsets; ++s) {
    const std::uint64_t increment = raws[s];
    const bool missing = r0_missing || (missing_rule && increment == missing_increment);
    raws[s] = missing ? r0 : r0 + increment;
    present[s] = missing ? 0 : 1;
  }
  const std::size_t computed = all_values ? subsets : 1;
  for (std::size_t s = 0; s < computed; ++s) {
    if (present[s] == 0) continue;
    const std::uint64_t raw = raws[s];
    if (narrow) {
      // r0 below 2^61, the increment below 2^60, the reference within
      // +-2^61: the exact sum fits in 64 bits, as element_value computes it.
      const double sum = static_cast<double>(reference + static_cast<std::int64_t>(raw));
      values[s] = scale == 0 ? sum : sum / divisor;
    } else {
      values[s] = element_value(reference, raw, scale);
    }
  }
  return column;
}

namespace {

// Past R0 of `r0_bits` and NBINC: the increments' width in bits, or nullopt
// when the column does not fit in what remains (the caller then reads it
// for the error). `reader` moves only on success.
std::optional<std::size_t> skip_increments(BitReader& reader, std::size_t r0_bits,
                                           unsigned increment_unit, std::size_t subsets) {
  if (r0_bits + kNbincWidth > reader.remaining()) return std::nullopt;
  BitReader probe = reader;
  probe.skip_unchecked(r0_bits);
  const auto nbinc = static_cast<unsigned>(probe.peek_unchecked(kNbincWidth));
  probe.skip_unchecked(kNbincWidth);
  const std::size_t bits = std::size_t{nbinc} * increment_unit;
  if (bits != 0 && subsets != 0) {
    if (probe.remaining() / bits < subsets) return std::nullopt;
    probe.skip_unchecked(bits * subsets);
  }
  reader = probe;
  return bits;
}

} // namespace

Status skip_compressed_numeric_column(std::uint16_t width, std::size_t subsets, BitReader& reader) {
  if (width <= 64 && skip_increments(reader, width, 1, subsets)) return {};
  auto column = read_compressed_numeric_column(0, nullptr, width, 0, 0, false, subsets, reader, false);
  if (!column) return fail(std::move(column.error()));
  return {};
}

Status skip_text_column(std::uint16_t width, std::size_t subsets, BitReader& reader) {
  if (skip_increments(reader, width, 8, subsets)) return {};
  auto column = read_text_column(0, nullptr, width, subsets, reader);
  if (!column) return fail(std::move(column.error()));
  return {};
}

Status skip_compressed_element_column(const ElementInfo& info, const TableCoding& table,
                                      ValueCodingState& state, std::size_t subsets,
                                      BitReader& reader, NumericCoding& coding) {
  coding = NumericCoding{};
  if (info.kind == ElementKind::Text) {
    const std::uint16_t width = state.text_width ? *state.text_width : info.width;
    auto status = skip_text_column(width, subsets, reader);
    if (!status) return status;
    ++state.compressed_text_counter;
    return {};
  }
  coding = numeric_coding(table, info.kind, state);
  return skip_compressed_numeric_column(coding.width, subsets, reader);
}

} // namespace morvane
