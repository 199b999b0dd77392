// Entry point of the data walks: section 4 of one parsed message into values.
#pragma once

#include <vector>

#include "../error.hpp"
#include "../message.hpp"
#include "../tables/table_set.hpp"
#include "decoded_value.hpp"

namespace morvane {

// Uncompressed and compressed messages alike; the values of all subsets in
// subset order. The items point into `tables`, which must outlive them.
Result<std::vector<DecodedValue>> decode_uncompressed_values(const BufrMessage& message,
                                                             const TableSet& tables,
                                                             Bytes data_bytes);

} // namespace morvane
