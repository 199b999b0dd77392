// An integer column of read_bufr whose values came as doubles: as int64
// when every value there is a whole number int64 holds (2-02 or 2-07 may
// have given it a scale or width that makes it otherwise).
#pragma once

#include <cstdint>
#include <span>

namespace morvane::columnar {

// Whether every value whose `valid` flag is set is a whole number of
// magnitude below 2^63; if so, `out` holds those values and 0 elsewhere
// (otherwise what it holds is of no use). All spans are equally long.
[[nodiscard]] bool whole_integers(std::span<const double> values, std::span<const std::uint8_t> valid,
                                  std::span<std::int64_t> out);

} // namespace morvane::columnar
