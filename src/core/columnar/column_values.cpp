#include "column_values.hpp"

#include <charconv>
#include <limits>

namespace morvane::columnar {

namespace {

constexpr std::int64_t kPowers[] = {1,
                                    10,
                                    100,
                                    1000,
                                    10000,
                                    100000,
                                    1000000,
                                    10000000,
                                    100000000,
                                    1000000000,
                                    10000000000,
                                    100000000000,
                                    1000000000000,
                                    10000000000000,
                                    100000000000000,
                                    1000000000000000,
                                    10000000000000000,
                                    100000000000000000,
                                    1000000000000000000};

bool text_blank(std::uint8_t c) { return c == ' ' || c == 0 || (c >= '\t' && c <= '\r'); }

void append_chars(ColumnValues& values, std::string_view text) {
  values.chars.append(text);
  values.offsets.push_back(static_cast<std::int64_t>(values.chars.size()));
  values.valid.push_back(1);
}

void append_number(std::string& out, double value) {
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void append_number(std::string& out, std::int64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// Integers of a compressed column; false (nothing changed beyond `base`)
// when one of them is not an exact 64-bit integer.
bool append_integers(ColumnValues& values, const ValueColumn& column, const NumericCoding& coding,
                     std::size_t subsets) {
  const std::size_t base = values.ints.size();
  values.ints.resize(base + subsets);
  std::int64_t* out = values.ints.data() + base;
  if (column.constant) {
    std::int64_t value = 0;
    if (column.present[0] != 0 && !exact_integer(coding, column.raws[0], value)) {
      values.ints.resize(base);
      return false;
    }
    std::fill(out, out + subsets, value);
    values.valid.resize(base + subsets, column.present[0]);
    return true;
  }
  const std::uint64_t* raws = column.raws.data();
  const std::uint8_t* present = column.present.data();
  constexpr std::int64_t kSafe = std::int64_t{1} << 62U;
  if (coding.scale == 0 && coding.reference > -kSafe && coding.reference < kSafe) {
    // Raws below 2^62 cannot overflow with such a reference.
    std::uint64_t top = 0;
    for (std::size_t s = 0; s < subsets; ++s) top |= raws[s];
    if (top < static_cast<std::uint64_t>(kSafe)) {
      const std::int64_t reference = coding.reference;
      for (std::size_t s = 0; s < subsets; ++s) {
        out[s] = present[s] != 0 ? reference + static_cast<std::int64_t>(raws[s]) : 0;
      }
      values.valid.insert(values.valid.end(), present, present + subsets);
      return true;
    }
  }
  for (std::size_t s = 0; s < subsets; ++s) {
    if (present[s] == 0) {
      out[s] = 0;
    } else if (!exact_integer(coding, raws[s], out[s])) {
      values.ints.resize(base);
      return false;
    }
  }
  values.valid.insert(values.valid.end(), present, present + subsets);
  return true;
}

} // namespace

ColumnValues empty_values(ColumnType type) {
  ColumnValues values;
  values.type = type;
  if (type == ColumnType::Text) values.offsets.push_back(0);
  return values;
}

void pad(ColumnValues& values, std::size_t rows) {
  if (values.rows() >= rows) return;
  switch (values.type) {
  case ColumnType::Int64: values.ints.resize(rows); break;
  case ColumnType::Float64: values.floats.resize(rows); break;
  case ColumnType::Text:
    values.offsets.resize(rows + 1, static_cast<std::int64_t>(values.chars.size()));
    break;
  }
  values.valid.resize(rows);
}

void push_text(ColumnValues& values, std::span<const std::uint8_t> bytes) {
  bool all_ff = true;
  for (std::uint8_t b : bytes) {
    if (b != 0xFF) {
      all_ff = false;
      break;
    }
  }
  if (all_ff) {
    push_null(values);
    return;
  }
  std::size_t end = bytes.size();
  while (end > 0 && text_blank(bytes[end - 1])) --end;
  for (std::size_t i = 0; i < end; ++i) {
    values.chars.push_back(bytes[i] < 0x80 ? static_cast<char>(bytes[i]) : '?');
  }
  values.offsets.push_back(static_cast<std::int64_t>(values.chars.size()));
  values.valid.push_back(1);
}

void push_text(ColumnValues& values, const std::optional<std::string>& text) {
  if (!text) {
    push_null(values);
    return;
  }
  std::size_t end = text->size();
  while (end > 0 && text_blank(static_cast<std::uint8_t>((*text)[end - 1]))) --end;
  append_chars(values, std::string_view(*text).substr(0, end));
}

void push_number_text(ColumnValues& values, double value) {
  append_number(values.chars, value);
  values.offsets.push_back(static_cast<std::int64_t>(values.chars.size()));
  values.valid.push_back(1);
}

bool exact_integer(const NumericCoding& coding, std::uint64_t raw, std::int64_t& out) {
  if (raw > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
  std::int64_t sum = 0;
  if (__builtin_add_overflow(coding.reference, static_cast<std::int64_t>(raw), &sum)) return false;
  if (coding.scale == 0) {
    out = sum;
    return true;
  }
  if (coding.scale > 0) {
    if (coding.scale > 18 || sum % kPowers[coding.scale] != 0) return false;
    out = sum / kPowers[coding.scale];
    return true;
  }
  if (coding.scale < -18) return false;
  return !__builtin_mul_overflow(sum, kPowers[-coding.scale], &out);
}

void to_float(ColumnValues& values) {
  if (values.type != ColumnType::Int64) return;
  values.floats.resize(values.ints.size());
  for (std::size_t i = 0; i < values.ints.size(); ++i) {
    values.floats[i] = static_cast<double>(values.ints[i]);
  }
  values.ints = {};
  values.type = ColumnType::Float64;
}

void to_text(ColumnValues& values) {
  if (values.type == ColumnType::Text) return;
  ColumnValues text = empty_values(ColumnType::Text);
  for (std::size_t i = 0; i < values.rows(); ++i) {
    if (values.valid[i] == 0) {
      push_null(text);
    } else {
      if (values.type == ColumnType::Int64) {
        append_number(text.chars, values.ints[i]);
      } else {
        append_number(text.chars, values.floats[i]);
      }
      text.offsets.push_back(static_cast<std::int64_t>(text.chars.size()));
      text.valid.push_back(1);
    }
  }
  values = std::move(text);
}

void append_column(ColumnValues& values, ValueColumn& column, const NumericCoding& coding,
                   std::size_t subsets) {
  if (column.kind == ValueColumn::Kind::Text) {
    if (values.type != ColumnType::Text) to_text(values);
    for (std::size_t s = 0; s < subsets; ++s) push_text(values, column.texts[column.entry(s)]);
    return;
  }
  if (values.type == ColumnType::Int64) {
    if (append_integers(values, column, coding, subsets)) return;
    to_float(values);
  }
  if (values.type == ColumnType::Float64) {
    const std::size_t base = values.floats.size();
    if (column.constant) {
      values.floats.resize(base + subsets, column.values[0]);
      values.valid.resize(base + subsets, column.present[0]);
    } else if (base == 0) {
      values.floats = std::move(column.values);
      values.valid = std::move(column.present);
    } else {
      values.floats.insert(values.floats.end(), column.values.begin(), column.values.end());
      values.valid.insert(values.valid.end(), column.present.begin(), column.present.end());
    }
    return;
  }
  for (std::size_t s = 0; s < subsets; ++s) {
    const std::size_t e = column.entry(s);
    if (column.present[e] != 0) {
      push_number_text(values, column.values[e]);
    } else {
      push_null(values);
    }
  }
}

} // namespace morvane::columnar
