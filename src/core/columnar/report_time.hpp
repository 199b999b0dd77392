// The time of each row of a table from its year, month, day, hour, minute
// and second values, as pdbufr's data_datetime makes it: the date needs
// year, month and day; hour, minute and second count as 0 where the row
// does not hold them, but a held missing one, or an impossible date, gives
// no time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace morvane::columnar {

inline constexpr std::size_t kTimeParts = 6;  // year, month, day, hour, minute, second

struct TimeParts {
  // Per part, one entry per row: the value (read only where valid), whether
  // the row holds the part, and whether its value is there.
  std::array<std::span<const double>, kTimeParts> values;
  std::array<std::span<const std::uint8_t>, kTimeParts> held;
  std::array<std::span<const std::uint8_t>, kTimeParts> valid;
};

// Microseconds since 1970-01-01T00:00 of each row (0 where there is no
// time) and whether it has one. All spans have `micros.size()` entries.
void report_times(const TimeParts& parts, std::span<std::int64_t> micros,
                  std::span<std::uint8_t> exists);

// Whole seconds and microseconds of a second value. A value with k decimals
// is taken as its decimal rounded to k places, and the microseconds are
// truncated from the double ecCodes makes of it (its integer times 10^-k,
// which may fall just below the decimal), so that both agree with pdbufr.
void split_second(double second, std::int64_t& whole, std::int64_t& micro);

} // namespace morvane::columnar
