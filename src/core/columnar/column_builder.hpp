// The sink of both walks that builds columns: each item finds its column by
// its name "#rank#key" (rank counted within the subset), so subsets of
// different structure line up by occurrence and a column missing from a
// subset gets a null. Consecutive subsets almost always repeat the same
// sequence of columns, so an item first tries the column at its position in
// the previous subset and only builds a name when that does not fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "../data/walk_sink.hpp"
#include "../error.hpp"
#include "batch.hpp"

namespace morvane::columnar {

class ColumnBuilder {
public:
  static constexpr bool kMeanings = false;

  // Rows of a message are added after those of the messages before it.
  void begin_message(std::size_t subsets);
  void end_message();
  // A failure while building (subsets too unlike to align); the builder is
  // then of no further use.
  [[nodiscard]] Status status() const;
  [[nodiscard]] Batch finish() &&;

  // Uncompressed sink.
  void begin_subset();
  void remember() { history_.push_back(last_element_); }
  void numeric(const ElementInfo& info, const NumericCoding& coding, std::uint64_t raw,
               bool present, double value, const ItemTag& tag);
  void text(const ElementInfo& info, std::uint16_t width, std::uint64_t text_counter,
            std::span<const std::uint8_t> bytes, const ItemTag& tag);
  void associated(std::uint8_t width, std::uint64_t raw);
  void inserted_text(std::uint32_t code, std::span<const std::uint8_t> bytes);
  void marker(std::uint32_t code);

  // Compressed sink.
  void column(ValueColumn&& column, const ElementInfo* info, const NumericCoding& coding,
              const ItemTag& tag);

private:
  // What decides an item's column.
  struct Item {
    std::uint32_t descriptor = 0;
    ItemRole role = ItemRole::Element;
    std::uint8_t reread = 0;
    std::int64_t qualifies = -1;
    ColumnType type = ColumnType::Int64;
    const ElementDefinition* definition = nullptr;
  };

  Item element_item(const ElementInfo& info, const NumericCoding& coding, const ItemTag& tag) const;
  std::size_t resolve(const Item& item);
  std::size_t create(const Item& item, std::string&& key, std::uint32_t rank, std::string&& name);
  void restart_counts();
  [[nodiscard]] bool used(std::size_t column) const {
    return columns_[column].values.rows() > row_;
  }
  // Column `c` made able to hold a value of `type`.
  void accept(std::size_t c, ColumnType type);
  // Associated field read before the element `element` (its column).
  void flush_associated(std::size_t element);

  std::vector<Column> columns_;
  std::unordered_map<std::string, std::size_t> by_name_;
  std::unordered_map<std::string, std::uint32_t> counts_;
  std::vector<std::size_t> previous_;  // columns of the previous subset, in order
  std::vector<std::size_t> current_;
  bool matching_ = true;
  std::vector<std::size_t> history_;  // column of each descriptor history entry
  std::size_t last_element_ = 0;

  std::size_t rows_ = 0;            // rows of finished messages
  std::size_t message_subsets_ = 0;
  std::size_t row_ = 0;             // first row the items go to
  std::size_t next_subset_ = 0;
  std::size_t items_ = 0;
  std::vector<std::size_t> message_rows_;
  std::optional<std::uint64_t> pending_raw_;      // uncompressed associated field
  std::optional<ValueColumn> pending_column_;     // compressed associated field
  std::optional<BufrError> error_;
};

} // namespace morvane::columnar
