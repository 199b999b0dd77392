// Entry point of the data walks: section 4 of one parsed message into values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../bitstream.hpp"
#include "../error.hpp"
#include "../message.hpp"
#include "../tables/table_set.hpp"
#include "coding_state.hpp"
#include "decoded_value.hpp"
#include "element_catalog.hpp"
#include "value_columns.hpp"
#include "work_budget.hpp"

namespace morvane {

inline constexpr std::size_t kMaxDescriptorDepth = 64;

// Uncompressed and compressed messages alike; the values of all subsets in
// subset order. The items point into `tables`, which must outlive them.
Result<std::vector<DecodedValue>> decode_uncompressed_values(const BufrMessage& message,
                                                             const TableSet& tables,
                                                             Bytes data_bytes);

// The same decode without regrouping compressed columns: what the Python
// layer turns into objects, subset by subset, straight from the columns.
Result<DecodedData> decode_data(const BufrMessage& message, const TableSet& tables,
                                Bytes data_bytes);

// What one walk reads from and writes to, besides the coding state.
struct WalkContext {
  ElementCatalog& catalog;
  BitReader& reader;
  WorkBudget& budget;
};

// One list of descriptors of an uncompressed subset; `depth` 0 is the
// message's own list.
Status decode_descriptor_values_inner(std::span<const std::uint32_t> descriptors,
                                      WalkContext& context, ValueCodingState& state,
                                      std::vector<DecodedValue>& out, std::size_t depth);

// The compressed walk over one list of descriptors for all `subsets` at once.
Status decode_compressed_descriptors_inner(std::span<const std::uint32_t> descriptors,
                                           WalkContext& context, ValueCodingState& state,
                                           std::vector<ValueColumn>& columns,
                                           std::size_t subsets, std::size_t depth);

// One numeric column: R0, NBINC and the increments.
Result<ValueColumn> read_compressed_numeric_column(std::uint32_t code, const std::string* name,
                                                   std::uint16_t width, std::int64_t reference,
                                                   std::int32_t scale, bool missing_rule,
                                                   std::size_t subsets, BitReader& reader);

} // namespace morvane
