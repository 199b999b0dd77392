// Messages into columns.
#pragma once

#include <cstddef>
#include <vector>

#include "../error.hpp"
#include "../message.hpp"
#include "../tables/table_set.hpp"
#include "batch.hpp"
#include "column_builder.hpp"

namespace morvane::columnar {

// Adds the subsets of one parsed message as rows of `builder`.
[[nodiscard]] Status add_message(ColumnBuilder& builder, const BufrMessage& message,
                                 const TableSet& tables, Bytes data_bytes);

// The first message of `buffer` (framed as _morvane frames it: a framing
// failure anywhere in the buffer is reported) added to `builder`.
[[nodiscard]] Status add_first_message(ColumnBuilder& builder, Bytes buffer, const TableSet& tables);

// The number of subsets of the first message of `buffer`, 0 when it cannot be read.
std::size_t first_message_subsets(Bytes buffer);

// Where each subset of the first message of `buffer` starts in its flat list of values.
[[nodiscard]] Result<std::vector<std::size_t>> first_message_subset_starts(Bytes buffer,
                                                                         const TableSet& tables);

} // namespace morvane::columnar
