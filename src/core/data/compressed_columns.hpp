// Reading one compressed column: every element is stored once for all
// subsets as a local reference R0, a 6-bit increment width NBINC and, when
// NBINC is not 0, one increment per subset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "../bitstream.hpp"
#include "../error.hpp"
#include "coding_state.hpp"
#include "element_catalog.hpp"
#include "element_values.hpp"
#include "value_columns.hpp"

namespace morvane {

// One numeric column: R0, NBINC and the increments. Without `all_values`
// only the first subset's value is computed (raws and presence always are).
[[nodiscard]] Result<ValueColumn> read_compressed_numeric_column(
    std::uint32_t code, const std::string* name, std::uint16_t width, std::int64_t reference,
    std::int32_t scale, bool missing_rule, std::size_t subsets, BitReader& reader,
    bool all_values = true);

// Character data: R0 of `width` bits, NBINC in octets, NBINC octets per subset.
[[nodiscard]] Result<ValueColumn> read_text_column(std::uint32_t code, const std::string* name,
                                                   std::uint16_t width, std::size_t subsets,
                                                   BitReader& reader);

// The column of one Table B element with the operators in force; `coding`
// receives the coding its values were computed with. Code-table meanings are
// looked up per value only when `meanings` is set, values beyond the first
// subset only with `all_values`.
[[nodiscard]] Result<ValueColumn> read_compressed_element_column(
    const ElementInfo& info, const TableCoding& table, ValueCodingState& state,
    std::size_t subsets, BitReader& reader, bool meanings, bool all_values, NumericCoding& coding);

// Moving past a column whose values are not wanted: the reader ends where
// the matching read would leave it, and data too short fail as that read
// fails. The element form also keeps the text numbering and gives `coding`.
[[nodiscard]] Status skip_compressed_numeric_column(std::uint16_t width, std::size_t subsets,
                                                    BitReader& reader);
[[nodiscard]] Status skip_text_column(std::uint16_t width, std::size_t subsets, BitReader& reader);
[[nodiscard]] Status skip_compressed_element_column(const ElementInfo& info, const TableCoding& table,
                                                    ValueCodingState& state, std::size_t subsets,
                                                    BitReader& reader, NumericCoding& coding);

ValueColumn marker_column(std::uint32_t code);

} // namespace morvane
