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
#include "decoded_value.hpp"
#include "value_columns.hpp"
#include "walk_context.hpp"

namespace morvane {

// Uncompressed and compressed messages alike; the values of all subsets in
// subset order. The items point into `tables`, which must outlive them.
[[nodiscard]] Result<std::vector<DecodedValue>> decode_uncompressed_values(
    const BufrMessage& message, const TableSet& tables, Bytes data_bytes);

// The same decode without regrouping compressed columns: what the Python
// layer turns into objects, subset by subset, straight from the columns.
[[nodiscard]] Result<DecodedData> decode_data(const BufrMessage& message, const TableSet& tables,
                                              Bytes data_bytes);

// Where each subset starts in the flat list decode_uncompressed_values
// gives, found by a walk that only counts items.
[[nodiscard]] Result<std::vector<std::size_t>> decode_subset_starts(const BufrMessage& message,
                                                                    const TableSet& tables,
                                                                    Bytes data_bytes);

} // namespace morvane
