#include "report_time.hpp"

#include <cmath>
#include <cstring>

namespace morvane::columnar {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) {
  const std::int64_t y = year - (month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::int64_t month_length(std::int64_t year, std::int64_t month) {
  static constexpr std::array<std::int64_t, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return kDays[static_cast<std::size_t>(month - 1)] + (month == 2 && leap ? 1 : 0);
}

// Whole numbers beyond int64 (or not finite) are no part of a time.
bool to_whole(double value, std::int64_t& out) {
  if (!(value > -9.2e18 && value < 9.2e18)) return false;
  out = static_cast<std::int64_t>(value);  // toward zero
  return true;
}

} // namespace

void split_second(double second, std::int64_t& whole, std::int64_t& micro) {
  double scaled = second;
  if (std::trunc(second) != second) {
    for (int k = 0; k < 7; ++k) {
      const double power = std::pow(10.0, k);
      const double rounded = std::nearbyint(second * power);
      if (std::fabs(second * power - rounded) < 1e-6) {
        scaled = rounded * std::pow(10.0, -k);
        break;
      }
    }
  }
  std::int64_t total = 0;
  if (!to_whole(std::trunc(scaled * 1'000'000.0), total) || !to_whole(std::trunc(scaled), whole)) {
    whole = -1;  // not a second of a minute
    micro = 0;
    return;
  }
  micro = ((total % 1'000'000) + 1'000'000) % 1'000'000;
}

void report_times(const TimeParts& parts, std::span<std::int64_t> micros,
                  std::span<std::uint8_t> exists) {
  // Rows mostly repeat the time of the row before (the levels or channels
  // of one report): its result is reused.
  std::array<double, kTimeParts> previous{};
  bool previous_ok = false;
  bool have_previous = false;
  std::array<double, 3> date{};
  bool have_date = false;
  bool date_ok = false;
  std::int64_t days = 0;
  for (std::size_t row = 0; row < micros.size(); ++row) {
    bool ok = true;
    std::array<double, kTimeParts> number{};
    for (std::size_t p = 0; p < kTimeParts; ++p) {
      const bool valid = parts.valid[p][row] != 0;
      const bool held = parts.held[p][row] != 0;
      // The date's parts are needed; the time's count as 0 when not held.
      ok = ok && (valid || (p >= 3 && !held));
      number[p] = valid && (p < 3 || held) ? parts.values[p][row] : 0.0;
    }
    // compared as bits: a NaN part matches itself, and -0.0 is not 0.0
    if (have_previous && ok == previous_ok &&
        std::memcmp(number.data(), previous.data(), sizeof(number)) == 0) {
      exists[row] = exists[row - 1];
      micros[row] = micros[row - 1];
      continue;
    }
    previous = number;
    previous_ok = ok;
    have_previous = true;
    if (!ok) {
      exists[row] = 0;
      micros[row] = 0;
      continue;
    }
    // Rows of one report mostly share their date too, when their times
    // differ: its day number is reused.
    if (!have_date || std::memcmp(number.data(), date.data(), sizeof(date)) != 0) {
      std::memcpy(date.data(), number.data(), sizeof(date));
      have_date = true;
      std::int64_t year = 0, month = 0, day = 0;
      date_ok = to_whole(number[0], year) && to_whole(number[1], month) && to_whole(number[2], day) &&
                year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
                day <= month_length(year, month);
      days = date_ok ? days_from_civil(year, month, day) : 0;
    }
    std::int64_t hour = 0, minute = 0, whole = 0, micro = 0;
    ok = date_ok && to_whole(number[3], hour) && to_whole(number[4], minute);
    if (ok) split_second(number[5], whole, micro);
    ok = ok && hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && whole >= 0 && whole <= 59;
    exists[row] = ok ? 1 : 0;
    micros[row] = ok ? ((days * 86400 + hour * 3600 + minute * 60 + whole) * 1'000'000 + micro) : 0;
  }
}

} // namespace morvane::columnar
