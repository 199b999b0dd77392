#include "whole_integers.hpp"

#include <cmath>

namespace morvane::columnar {

bool whole_integers(std::span<const double> values, std::span<const std::uint8_t> valid,
                    std::span<std::int64_t> out) {
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (valid[i] == 0) {
      out[i] = 0;
      continue;
    }
    const double v = values[i];
    // (a NaN fails the first test, an infinity the second)
    if (std::trunc(v) != v || !(std::fabs(v) < kLimit)) return false;
    out[i] = static_cast<std::int64_t>(v);
  }
  return true;
}

} // namespace morvane::columnar
