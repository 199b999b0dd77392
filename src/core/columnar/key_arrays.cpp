#include "key_arrays.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace morvane::columnar {

void key_arrays(const Batch& batch, std::span<const std::size_t> columns, std::span<double> numbers,
                std::span<std::uint8_t> valid) {
  const std::size_t rows = batch.rows;
  for (std::size_t j = 0; j < columns.size(); ++j) {
    const ColumnValues& values = batch.columns[columns[j]].values;
    double* out = numbers.data() + j * rows;
    if (rows != 0) std::memcpy(valid.data() + j * rows, values.valid.data(), rows);
    switch (values.type) {
    case ColumnType::Float64:
      if (rows != 0) std::memcpy(out, values.words.data(), rows * sizeof(double));
      break;
    case ColumnType::Int64:
      // as NumPy converts int64 to float64
      for (std::size_t r = 0; r < rows; ++r) {
        out[r] = static_cast<double>(std::bit_cast<std::int64_t>(values.words[r]));
      }
      break;
    case ColumnType::Text:
      std::fill_n(out, rows, 0.0);
      break;
    }
  }
}

bool counts_agree(const Batch& batch, std::span<const std::size_t> columns) {
  const std::size_t rows = batch.rows;
  for (const std::size_t c : columns) {
    const ColumnValues& values = batch.columns[c].values;
    if (std::find(values.valid.begin(), values.valid.end(), std::uint8_t{0}) != values.valid.end()) {
      return false;
    }
    if (rows == 0) continue;
    if (values.type == ColumnType::Int64) {
      const std::uint64_t first = values.words[0];
      for (std::size_t r = 1; r < rows; ++r) {
        if (values.words[r] != first) return false;
      }
    } else {
      // compared as numbers: a NaN differs even from itself, -0 equals 0
      const double first = std::bit_cast<double>(values.words[0]);
      for (std::size_t r = 0; r < rows; ++r) {
        if (std::bit_cast<double>(values.words[r]) != first) return false;
      }
    }
  }
  return true;
}

} // namespace morvane::columnar
