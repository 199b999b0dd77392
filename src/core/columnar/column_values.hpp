// Appending to the typed arrays of one column.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "../data/element_values.hpp"
#include "../data/value_columns.hpp"
#include "batch.hpp"

namespace morvane::columnar {

// Every function that adds cells takes them from `arena`, the batch's.
ColumnValues empty_values(ColumnType type, CellArena& arena);
// Room for `rows` rows.
inline void reserve(ColumnValues& values, std::size_t rows, CellArena& arena) {
  if (values.type == ColumnType::Text) {
    values.text(arena).offsets.reserve(rows + 1, arena);
  } else {
    values.words.reserve(rows, arena);
  }
  values.valid.reserve(rows, arena);
}
// Whether a column of `room` rows is short: its words and validity then
// share one piece of the arena.
[[nodiscard]] inline bool short_column(std::size_t room) {
  return room * (sizeof(std::uint64_t) + 1) <= CellArena::kMaxBytes;
}
// The same for a new numeric column: words and validity of a short one in
// one piece of the arena.
inline void reserve_new(ColumnValues& values, std::size_t rows, CellArena& arena) {
  if (values.type == ColumnType::Text || !short_column(rows)) {
    reserve(values, rows, arena);
    return;
  }
  auto* words = static_cast<std::uint64_t*>(arena.allocate(rows * (sizeof(std::uint64_t) + 1)));
  values.words.place(words, rows);
  values.valid.place(reinterpret_cast<std::uint8_t*>(words + rows), rows);
}
// A new short numeric column of `rows` rows, the last holding `word`
// (present when `valid`), the others null, with room for `room` rows: the
// column of nearly every value of a one-subset message.
inline void place_short_column(ColumnValues& values, std::size_t rows, std::size_t room,
                               std::uint64_t word, std::uint8_t valid, CellArena& arena) {
  auto* words = static_cast<std::uint64_t*>(arena.allocate(room * (sizeof(std::uint64_t) + 1)));
  auto* validity = reinterpret_cast<std::uint8_t*>(words + room);
  if (rows > 1) {  // rows of earlier messages
    std::fill(words, words + rows - 1, std::uint64_t{0});
    std::fill(validity, validity + rows - 1, std::uint8_t{0});
  }
  words[rows - 1] = word;
  validity[rows - 1] = valid;
  values.words.place(words, room, rows);
  values.valid.place(validity, room, rows);
}
// Nulls up to `rows` rows.
void pad_to(ColumnValues& values, std::size_t rows, CellArena& arena);
inline void pad(ColumnValues& values, std::size_t rows, CellArena& arena) {
  if (values.rows() < rows) pad_to(values, rows, arena);
}

inline void push_null(ColumnValues& values, CellArena& arena) {
  if (values.type == ColumnType::Text) {
    TextCells& text = values.text(arena);
    text.offsets.push_back(static_cast<std::int64_t>(text.chars.size()), arena);
  } else {
    values.words.push_back(0, arena);
  }
  values.valid.push_back(0, arena);
}
inline void push_int(ColumnValues& values, std::int64_t value, CellArena& arena) {
  values.words.push_back(static_cast<std::uint64_t>(value), arena);
  values.valid.push_back(1, arena);
}
inline void push_float(ColumnValues& values, double value, CellArena& arena) {
  values.words.push_back(std::bit_cast<std::uint64_t>(value), arena);
  values.valid.push_back(1, arena);
}
// A whole number in the form of the column's type.
void push_whole(ColumnValues& values, std::uint64_t value, CellArena& arena);
// Character data: null when every octet is 0xFF; octets above 0x7F become
// '?'; trailing blanks and NULs are dropped.
void push_text(ColumnValues& values, std::span<const std::uint8_t> bytes, CellArena& arena);
// A number in a column that other messages made text.
void push_number_text(ColumnValues& values, double value, CellArena& arena);

// The value (reference + raw) / 10^scale as an exact 64-bit integer, when it is one.
[[nodiscard]] bool scaled_exact_integer(const NumericCoding& coding, std::uint64_t raw,
                                        std::int64_t& out);
[[nodiscard]] inline bool exact_integer(const NumericCoding& coding, std::uint64_t raw,
                                        std::int64_t& out) {
  // Mostly scale 0 and a raw far from overflow: inline.
  if (coding.scale == 0 && raw <= static_cast<std::uint64_t>(INT64_MAX) &&
      !__builtin_add_overflow(coding.reference, static_cast<std::int64_t>(raw), &out)) {
    return true;
  }
  return scaled_exact_integer(coding, raw, out);
}

// The word a present number is kept as in a numeric column of `type`, and
// the type that column must then have: an exact integer stays int64,
// anything else makes the column float.
[[nodiscard]] inline ColumnType numeric_word(ColumnType type, const NumericCoding& coding,
                                             std::uint64_t raw, double value,
                                             std::uint64_t& word) {
  std::int64_t exact = 0;
  if (type == ColumnType::Int64 && exact_integer(coding, raw, exact)) {
    word = static_cast<std::uint64_t>(exact);
    return ColumnType::Int64;
  }
  word = std::bit_cast<std::uint64_t>(value);
  return ColumnType::Float64;
}

// Conversions when a column meets values of another type.
void to_float(ColumnValues& values);
void to_text(ColumnValues& values, CellArena& arena);

// The `subsets` entries of a compressed column; its arrays may be taken
// over, kept by `arena`. Its values are recomputed from the raws with
// `coding`, so the walk need only give the first subset's value.
void append_column(ColumnValues& values, ValueColumn& column, const NumericCoding& coding,
                   std::size_t subsets, CellArena& arena);

} // namespace morvane::columnar
