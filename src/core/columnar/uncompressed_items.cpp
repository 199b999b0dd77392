// What the uncompressed walk hands the column builder, value by value:
// the column each item goes to, and its value appended there.
#include "column_builder.hpp"

#include "column_values.hpp"

namespace morvane::columnar {

void ColumnBuilder::convert(ColumnValues& values, ColumnType type) {
  pad(values, row_, *arena_);
  if (values.type == type) return;
  if (values.type == ColumnType::Text) return;  // numbers are written as text
  if (type == ColumnType::Text) {
    to_text(values, *arena_);
  } else if (type == ColumnType::Float64) {
    to_float(values);
  }
}

std::size_t ColumnBuilder::lone_subset_column(const ElementInfo& info,
                                              const NumericCoding& coding, const ItemTag& tag) {
  const std::size_t index = element_slot(info);
  const std::uint32_t rank = next_rank(slot(index));
  return lone_column_at(info, coding, tag, index, rank,
                        find(static_cast<std::uint32_t>(index - kFixedSlots), rank));
}

std::size_t ColumnBuilder::lone_column_at(const ElementInfo& info, const NumericCoding& coding,
                                          const ItemTag& tag, std::size_t index,
                                          std::uint32_t rank, std::size_t found) {
  if (found != kNone) {
    if (!used(found)) return found;
    // Taken in this message already (by a marker or inserted text of the
    // same key): the next free rank, as for any message.
    return named(element_item(info, coding, tag), rank);
  }
  // A new column: its item as element_item would make it for an element or
  // bitmap entry (or a quality value qualifying nothing).
  const ItemRole role = tag.role == ItemRole::Bitmap ? ItemRole::Bitmap : ItemRole::Element;
  return create(item_in_slot(info, coding, role, tag.reread, index),
                static_cast<std::uint32_t>(index - kFixedSlots), rank);
}

std::size_t ColumnBuilder::lone_subset_attribute(const ElementInfo& info,
                                                 const NumericCoding& coding, const ItemTag& tag) {
  // Qualifying nothing read: an element of its own, as element_item has it.
  if (tag.qualifies >= history_.size()) return lone_subset_column(info, coding, tag);
  const std::size_t parent = history_[tag.qualifies];
  Item item = item_in_slot(info, coding, ItemRole::Quality, tag.reread, element_slot(info));
  item.qualifies = static_cast<std::int64_t>(parent);
  std::uint32_t rank = first_attribute_rank(parent, attribute_code(item));
  if (rank == 0) rank = next_rank(attribute_pool_[attribute_slot(item)]);
  return named(item, rank);
}

void ColumnBuilder::numeric_any(const ElementInfo& info, const NumericCoding& coding,
                                std::uint64_t raw, bool present, double value,
                                const ItemTag& tag) {
  if (error_) return;
  ++items_;
  if (selecting_ && tag.role != ItemRole::Element) return;
  if (message_subsets_ == 1 && by_subset_ && !pending_raw_) {
    if (tag.role == ItemRole::Element || tag.role == ItemRole::Bitmap) {
      lone_subset_value(info, coding, raw, present, value, tag);
      return;
    }
    if (tag.role == ItemRole::Quality && tag.qualifies < history_.size()) {
      lone_subset_quality(info, coding, raw, present, value, tag);
      return;
    }
  }
  const std::size_t c = element_column(info, coding, tag);
  push_numeric(c, element_type(info, coding), coding, raw, present, value);
  if (tag.role != ItemRole::Bitmap) last_element_ = c;
  flush_associated(c);
}

void ColumnBuilder::push_numeric(std::size_t c, ColumnType type, const NumericCoding& coding,
                                 std::uint64_t raw, bool present, double value) {
  accept(c, type);
  ColumnValues& values = columns_[c].values;
  CellArena& arena = *arena_;
  if (!present) {
    push_null(values, arena);
  } else if (values.type == ColumnType::Text) {
    push_number_text(values, value, arena);
  } else {
    std::uint64_t word = 0;
    if (numeric_word(values.type, coding, raw, value, word) != values.type) to_float(values);
    values.words.push_back(word, arena);
    values.valid.push_back(1, arena);
  }
}

void ColumnBuilder::lone_subset_value(const ElementInfo& info, const NumericCoding& coding,
                                      std::uint64_t raw, bool present, double value,
                                      const ItemTag& tag) {
  const std::size_t index = element_slot(info);
  const std::uint32_t rank = next_rank(slot(index));
  const auto key = static_cast<std::uint32_t>(index - kFixedSlots);
  const ColumnType type = element_type(info, coding);
  std::size_t c = find(key, rank);
  if (c == kNone && new_short_column(info.definition->code, element_entries_[info.index].text,
                                     tag.role, tag.reread, -1, key, rank, type, coding, raw,
                                     present, value, c)) {
    if (tag.role != ItemRole::Bitmap) last_element_ = c;
    return;
  }
  if (c == kNone || used(c)) c = lone_column_at(info, coding, tag, index, rank, c);
  push_numeric(c, type, coding, raw, present, value);
  if (tag.role != ItemRole::Bitmap) last_element_ = c;
}

void ColumnBuilder::lone_subset_quality(const ElementInfo& info, const NumericCoding& coding,
                                        std::uint64_t raw, bool present, double value,
                                        const ItemTag& tag) {
  // The usual case first, without an Item: the first attribute of its kind
  // on the element's column, whose key the column's element key last had.
  const std::size_t parent = history_[tag.qualifies];
  const std::size_t index = element_slot(info);
  const std::uint64_t attribute = quality_attribute_code(tag.reread, index);
  std::uint32_t rank = first_attribute_rank(parent, attribute);  // 0: counted below
  const std::uint32_t parent_key = columns_[parent].key;
  const std::uint32_t column_rank = columns_[parent].rank;
  const ColumnType type = element_type(info, coding);
  if (rank != 0 && parent_key < last_attribute_keys_.size()) {
    const AttributeKey& recent = last_attribute_keys_[parent_key];
    if (recent.key != kNoKey && recent.name == AttributeName{parent_key, attribute, rank}) {
      std::size_t c = find(recent.key, column_rank);
      if (c == kNone) {
        if (new_short_column(info.definition->code, element_entries_[info.index].text,
                             ItemRole::Quality, tag.reread, static_cast<std::int64_t>(parent),
                             recent.key, column_rank, type, coding, raw, present, value, c)) {
          last_element_ = c;
          return;
        }
      } else if (!used(c)) {
        push_numeric(c, type, coding, raw, present, value);
        last_element_ = c;
        return;
      }
    }
  }
  // Otherwise by the name, as lone_subset_attribute() finds it.
  Item item = item_in_slot(info, coding, ItemRole::Quality, tag.reread, index);
  item.qualifies = static_cast<std::int64_t>(parent);
  if (rank == 0) rank = next_rank(attribute_pool_[attribute_slot(item)]);
  std::uint32_t key = 0;
  std::uint32_t name_rank = 0;
  std::size_t c = find_named(item, rank, key, name_rank);
  if (c == kNone) c = create(item, key, name_rank);
  push_numeric(c, type, coding, raw, present, value);
  last_element_ = c;
}

inline bool ColumnBuilder::new_short_column(std::uint32_t descriptor, std::uint32_t element,
                                     ItemRole role, std::uint8_t reread, std::int64_t qualifies,
                                     std::uint32_t key, std::uint32_t rank, ColumnType type,
                                     const NumericCoding& coding, std::uint64_t raw, bool present,
                                     double value, std::size_t& made) {
  const std::size_t rows = rows_ + 1;
  const std::size_t room = std::max(expected_rows_, rows);
  if (columns_.size() >= column_allowance_ || type == ColumnType::Text || !short_column(room)) {
    return false;
  }
  // As create() and push_numeric() would make it.
  std::uint64_t word = 0;
  const ColumnType written = present ? numeric_word(type, coding, raw, value, word) : type;
  ColumnValues values;
  values.type = written;
  place_short_column(values, rows, room, word, present ? 1 : 0, *arena_);
  made = columns_.size();
  columns_.emplace_back(key, rank, descriptor, element, role, reread, qualifies, values);
  set_rank_column(key, rank, made);
  return true;
}

void ColumnBuilder::text(const ElementInfo& info, std::uint16_t, std::uint64_t,
                         std::span<const std::uint8_t> bytes, const ItemTag& tag) {
  if (error_) return;
  ++items_;
  if (selecting_ && tag.role != ItemRole::Element) return;
  const std::size_t c = element_column(info, NumericCoding{}, tag);
  accept(c, ColumnType::Text);
  push_text(columns_[c].values, bytes, *arena_);
  last_element_ = c;
  flush_associated(c);
}

void ColumnBuilder::associated(std::uint8_t, std::uint64_t raw) {
  if (!selecting_) pending_raw_ = raw;
}

void ColumnBuilder::flush_associated(std::size_t element) {
  if (!pending_raw_) return;
  const std::uint64_t raw = *pending_raw_;
  pending_raw_.reset();
  const std::size_t c = resolve(associated_item(element));
  accept(c, ColumnType::Int64);
  push_whole(columns_[c].values, raw, *arena_);
}

void ColumnBuilder::inserted_text(std::uint32_t code, std::span<const std::uint8_t> bytes) {
  if (error_) return;
  ++items_;
  if (selecting_) return;
  const std::size_t c = resolve(fixed_item(code, ItemRole::Text));
  accept(c, ColumnType::Text);
  push_text(columns_[c].values, bytes, *arena_);
}

void ColumnBuilder::marker(std::uint32_t code) {
  if (error_) return;
  ++items_;
  if (selecting_) return;
  const std::size_t c = resolve(fixed_item(code, ItemRole::Marker));
  accept(c, ColumnType::Int64);
  push_whole(columns_[c].values, 0, *arena_);
}

} // namespace morvane::columnar
