// The values of a decoded batch's wanted columns as read_bufr takes them:
// one block of doubles and one of flags, a block row per column, rather than
// an array per column; and whether the replication factors of a batch of
// several messages agree, so that their columns line up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "batch.hpp"

namespace morvane::columnar {

// Column `columns[j]`'s values as doubles into numbers[j * rows ...] (a text
// column reads as zeros) and its validity into valid[j * rows ...], rows
// being batch.rows. The columns must be decoded and the spans hold
// columns.size() * batch.rows entries.
void key_arrays(const Batch& batch, std::span<const std::size_t> columns, std::span<double> numbers,
                std::span<std::uint8_t> valid);

// Whether each of the columns (decoded replication factors) is valid on
// every row and has the first row's value on all of them.
[[nodiscard]] bool counts_agree(const Batch& batch, std::span<const std::size_t> columns);

} // namespace morvane::columnar
