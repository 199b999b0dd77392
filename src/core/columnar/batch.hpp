// The columnar form of decoded messages: one column per element occurrence
// of the expanded template, one row per subset, typed values and a validity
// array instead of magic missing values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "../data/walk_sink.hpp"
#include "cells.hpp"

namespace morvane::columnar {

enum class ColumnType : std::uint8_t { Int64, Float64, Text };

// The characters of a text column in Arrow's large_utf8 layout (`offsets`
// has rows + 1 entries).
struct TextCells {
  Cells<std::int64_t> offsets;
  Cells<char> chars;
};

// The values of one column. Numeric columns hold one 64-bit word per row:
// a two's complement int64 or the bits of a float64, so the raw array of a
// compressed column can become the column in place. All of it lies in the
// batch's arena, so a column has nothing to free.
struct ColumnValues {
  ColumnType type = ColumnType::Float64;
  Cells<std::uint64_t> words;
  Cells<std::uint8_t> valid;  // 1 = present, one per row
  // Offsets and characters of a text column, apart: the numeric columns,
  // nearly all, carry a pointer instead (a TEMP has thousands of columns).
  TextCells* text_part = nullptr;

  [[nodiscard]] std::size_t rows() const { return valid.size(); }
  // The text cells, made in `arena` on first use.
  TextCells& text(CellArena& arena) {
    if (text_part == nullptr) text_part = new (arena.allocate(sizeof(TextCells))) TextCells{};
    return *text_part;
  }
  [[nodiscard]] const Cells<std::int64_t>& offsets() const { return text_or_none().offsets; }
  [[nodiscard]] const Cells<char>& chars() const { return text_or_none().chars; }

private:
  [[nodiscard]] const TextCells& text_or_none() const {
    static const TextCells none;
    return text_part != nullptr ? *text_part : none;
  }
};

// Table B text of the elements of a batch, once per element, not per
// column: its name and then its unit in Batch::element_text, where all
// elements' texts lie in one string rather than two strings each.
struct ElementText {
  std::size_t at = 0;
  std::size_t name_size = 0;
  std::size_t unit_size = 0;
};

// What a column holds. Its texts live once in the batch (`Batch::key`,
// `Batch::name`, `Batch::element`): a TEMP message has thousands of
// columns, and strings per column would cost more than its values.
struct Column {
  static constexpr std::uint32_t kNoElement = static_cast<std::uint32_t>(-1);
  // Provided, so that a new column is set member by member: value
  // initialization would clear the whole struct first.
  Column() noexcept {}  // NOLINT(modernize-use-equals-default)
  // A column made whole at once, as nearly every column of a one-subset
  // message is: no field is written twice.
  Column(std::uint32_t key, std::uint32_t rank, std::uint32_t descriptor, std::uint32_t element,
         ItemRole role, std::uint8_t reread, std::int64_t qualifies,
         const ColumnValues& values) noexcept
      : key(key), rank(rank), descriptor(descriptor), element(element), role(role),
        reread(reread), qualifies(qualifies), values(values) {}

  std::uint32_t key = 0;  // index in Batch::keys
  std::uint32_t rank = 0;
  std::uint32_t descriptor = 0;
  std::uint32_t element = kNoElement;  // index in Batch::elements
  ItemRole role = ItemRole::Element;
  std::uint8_t reread = 0;  // X of the re-reading operator, 0 otherwise
  // False when the decode was asked for other keys only: the column then
  // names an occurrence but holds no rows.
  bool decoded = true;
  std::int64_t qualifies = -1;  // column index, or -1
  ColumnValues values;
};

// Nothing to destroy per column: a batch of thousands frees its arena's
// blocks and one array.
static_assert(std::is_trivially_destructible_v<Column>);

// The texts columns refer to. The batches a thread decodes one after
// another share them while they name the same elements (and each holds
// texts of the others): a batch of one sounding would otherwise make its
// few hundred keys anew. Never changed once a batch holds them.
struct BatchNames {
  std::vector<std::string> keys;  // ecCodes keys; quality columns "element->attribute"
  std::vector<ElementText> elements;
  std::string element_text;
};

struct Batch {
  // Where the columns keep their cells.
  std::unique_ptr<CellArena> arena;
  std::vector<Column> columns;
  std::size_t rows = 0;
  std::vector<std::size_t> message_rows;  // row offset of each message, then the total
  std::shared_ptr<const BatchNames> names;

  [[nodiscard]] const std::string& key(const Column& column) const {
    return names->keys[column.key];
  }
  // "#rank#key"
  [[nodiscard]] std::string name(const Column& column) const;
  [[nodiscard]] std::string_view element_name(const Column& column) const;
  [[nodiscard]] std::string_view unit(const Column& column) const;
};

std::string rank_name(std::uint32_t rank, std::string_view key);

const char* type_name(ColumnType type);
const char* role_name(ItemRole role);

} // namespace morvane::columnar
