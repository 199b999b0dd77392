#include "column_values.hpp"

#include <bit>
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

void append_number(Cells<char>& out, double value, CellArena& arena) {
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr, arena);
}

void append_number(Cells<char>& out, std::int64_t value, CellArena& arena) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr, arena);
}

// The text of a number ended as a row of a text column.
template <class Number> void push_number(ColumnValues& values, Number value, CellArena& arena) {
  TextCells& text = values.text(arena);
  append_number(text.chars, value, arena);
  text.offsets.push_back(static_cast<std::int64_t>(text.chars.size()), arena);
  values.valid.push_back(1, arena);
}

constexpr std::int64_t kSafe = std::int64_t{1} << 61U;

// Raws small enough, and a reference narrow enough, that reference + raw is
// exact in 64 bits without checks.
bool narrow(const NumericCoding& coding, const std::uint64_t* raws, std::size_t count) {
  if (coding.reference <= -kSafe || coding.reference >= kSafe) return false;
  std::uint64_t top = 0;
  for (std::size_t s = 0; s < count; ++s) top |= raws[s];
  return top < static_cast<std::uint64_t>(kSafe);
}

// The words of `count` subsets of a compressed numeric column written to
// `out` (which may be the raws themselves); false, with `out` untouched,
// when a value is not an exact int64 for an integer column.
bool column_words(ColumnType type, const NumericCoding& coding, const std::uint64_t* raws,
                  const std::uint8_t* present, std::size_t count, std::uint64_t* out) {
  const bool fast = narrow(coding, raws, count);
  const auto reference = static_cast<std::uint64_t>(coding.reference);
  if (type == ColumnType::Int64) {
    if (fast && coding.scale == 0) {
      // Wrapping unsigned addition is two's complement int64 addition.
      for (std::size_t s = 0; s < count; ++s) out[s] = present[s] != 0 ? raws[s] + reference : 0;
      return true;
    }
    std::int64_t value = 0;
    for (std::size_t s = 0; s < count; ++s) {
      if (present[s] != 0 && !exact_integer(coding, raws[s], value)) return false;
    }
    for (std::size_t s = 0; s < count; ++s) {
      value = 0;
      if (present[s] != 0) (void)exact_integer(coding, raws[s], value);
      out[s] = static_cast<std::uint64_t>(value);
    }
    return true;
  }
  const double divisor = power_of_ten(coding.scale);
  for (std::size_t s = 0; s < count; ++s) {
    double value = 0.0;
    if (present[s] != 0) {
      if (fast) {
        const auto sum = static_cast<double>(coding.reference + static_cast<std::int64_t>(raws[s]));
        value = coding.scale == 0 ? sum : sum / divisor;
      } else {
        value = element_value(coding.reference, raws[s], coding.scale);
      }
    }
    out[s] = std::bit_cast<std::uint64_t>(value);
  }
  return true;
}

} // namespace

ColumnValues empty_values(ColumnType type, CellArena& arena) {
  ColumnValues values;
  values.type = type;
  if (type == ColumnType::Text) values.text(arena).offsets.push_back(0, arena);
  return values;
}

void pad_to(ColumnValues& values, std::size_t rows, CellArena& arena) {
  if (values.type == ColumnType::Text) {
    TextCells& text = values.text(arena);
    text.offsets.resize(rows + 1, arena, static_cast<std::int64_t>(text.chars.size()));
  } else {
    values.words.resize(rows, arena);
  }
  values.valid.resize(rows, arena);
}

void push_text(ColumnValues& values, std::span<const std::uint8_t> bytes, CellArena& arena) {
  bool all_ff = true;
  for (std::uint8_t b : bytes) {
    if (b != 0xFF) {
      all_ff = false;
      break;
    }
  }
  if (all_ff) {
    push_null(values, arena);
    return;
  }
  std::size_t end = bytes.size();
  while (end > 0 && text_blank(bytes[end - 1])) --end;
  TextCells& text = values.text(arena);
  const std::size_t at = text.chars.size();
  text.chars.resize_for_overwrite(at + end, arena);
  char* out = text.chars.data() + at;
  for (std::size_t i = 0; i < end; ++i) out[i] = bytes[i] < 0x80 ? static_cast<char>(bytes[i]) : '?';
  text.offsets.push_back(static_cast<std::int64_t>(text.chars.size()), arena);
  values.valid.push_back(1, arena);
}

void push_number_text(ColumnValues& values, double value, CellArena& arena) {
  push_number(values, value, arena);
}

void push_whole(ColumnValues& values, std::uint64_t value, CellArena& arena) {
  if (values.type == ColumnType::Int64) {
    push_int(values, static_cast<std::int64_t>(value), arena);
  } else if (values.type == ColumnType::Float64) {
    push_float(values, static_cast<double>(value), arena);
  } else {
    push_number_text(values, static_cast<double>(value), arena);
  }
}

bool scaled_exact_integer(const NumericCoding& coding, std::uint64_t raw, std::int64_t& out) {
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
  for (std::uint64_t& word : values.words) {
    word = std::bit_cast<std::uint64_t>(static_cast<double>(static_cast<std::int64_t>(word)));
  }
  values.type = ColumnType::Float64;
}

void to_text(ColumnValues& values, CellArena& arena) {
  if (values.type == ColumnType::Text) return;
  ColumnValues text = empty_values(ColumnType::Text, arena);
  for (std::size_t i = 0; i < values.rows(); ++i) {
    if (values.valid[i] == 0) {
      push_null(text, arena);
    } else if (values.type == ColumnType::Int64) {
      push_number(text, static_cast<std::int64_t>(values.words[i]), arena);
    } else {
      push_number(text, std::bit_cast<double>(values.words[i]), arena);
    }
  }
  values = text;
}

void append_column(ColumnValues& values, ValueColumn& column, const NumericCoding& coding,
                   std::size_t subsets, CellArena& arena) {
  if (column.kind == ValueColumn::Kind::Text) {
    if (values.type != ColumnType::Text) to_text(values, arena);
    for (std::size_t s = 0; s < subsets; ++s) {
      push_text(values, column.text_field(column.entry(s)), arena);
    }
    return;
  }
  if (values.type == ColumnType::Text) {
    for (std::size_t s = 0; s < subsets; ++s) {
      const std::size_t e = column.entry(s);
      if (column.present[e] != 0) {
        push_number_text(values, element_value(coding.reference, column.raws[e], coding.scale),
                         arena);
      } else {
        push_null(values, arena);
      }
    }
    return;
  }
  const std::size_t base = values.words.size();
  if (column.constant) {
    std::uint64_t word = 0;
    if (!column_words(values.type, coding, column.raws.data(), column.present.data(), 1, &word)) {
      to_float(values);
      column_words(values.type, coding, column.raws.data(), column.present.data(), 1, &word);
    }
    values.words.resize(base + subsets, arena, word);
    values.valid.resize(base + subsets, arena, column.present[0]);
    return;
  }
  if (base == 0 && values.words.capacity() < subsets) {
    // The column's first rows: the raws become the values in place.
    if (!column_words(values.type, coding, column.raws.data(), column.present.data(), subsets,
                      column.raws.data())) {
      // Not all exact integers: the column becomes float.
      values.type = ColumnType::Float64;
      column_words(values.type, coding, column.raws.data(), column.present.data(), subsets,
                   column.raws.data());
    }
    values.words.adopt(std::move(column.raws), arena);
    values.valid.adopt(std::move(column.present), arena);
    return;
  }
  // column_words writes every new word, or none and says so
  values.words.resize_for_overwrite(base + subsets, arena);
  if (!column_words(values.type, coding, column.raws.data(), column.present.data(), subsets,
                    values.words.data() + base)) {
    values.words.resize(base, arena);
    to_float(values);
    values.words.resize_for_overwrite(base + subsets, arena);
    column_words(values.type, coding, column.raws.data(), column.present.data(), subsets,
                 values.words.data() + base);
  }
  values.valid.append(column.present.data(), column.present.data() + column.present.size(), arena);
}

} // namespace morvane::columnar
