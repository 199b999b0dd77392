#include "column_builder.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "column_values.hpp"

namespace morvane::columnar {

namespace {

// Aligning subsets of different structure leaves nulls; this many cells per
// item read (plus a fixed allowance) is the most a decode may build, so a
// message whose subsets share nothing fails instead of filling memory.
constexpr std::size_t kCellsPerItem = 32;
constexpr std::size_t kBaseCells = std::size_t{1} << 25U;
constexpr std::uint32_t kMaxChain = 8;

std::string key_of(const ElementDefinition& definition) {
  if (!definition.abbreviation.empty()) return definition.abbreviation;
  return written_code(definition.code);
}

// The ecCodes names of what an item stands for when it has no Table B entry,
// and of the attributes re-reads give their element.
const char* fixed_key(ItemRole role) {
  switch (role) {
  case ItemRole::Bitmap: return "dataPresentIndicator";
  case ItemRole::Marker: return "operator";
  case ItemRole::Text: return "text";
  case ItemRole::Associated: return "associatedField";
  default: return "";
  }
}

const char* reread_key(std::uint8_t x) {
  switch (x) {
  case 23: return "substitutedValue";
  case 24: return "firstOrderStatisticalValue";
  case 25: return "differenceStatisticalValue";
  default: return "replacedRetainedValue";
  }
}

} // namespace

void ColumnBuilder::begin_message(std::size_t subsets, std::size_t data_octets) {
  if (columns_.empty()) {
    // Room for about the columns of one subset, so that growing the
    // vector does not move thousands of columns of a one-subset message:
    // items of a few bits each, and as many quality columns again.
    constexpr std::size_t kMaxExpectedColumns = 1U << 14U;
    const std::size_t expected =
        std::min(2 * data_octets / std::max<std::size_t>(subsets, 1) + 16, kMaxExpectedColumns);
    columns_.reserve(expected);
    // About half of them quality columns, each with an attribute slot.
    attribute_pool_.reserve(expected / 2);
    if (attribute_table_.size() < expected) attribute_table_.resize(std::bit_ceil(expected));
  }
  message_rows_.push_back(rows_);
  message_subsets_ = subsets;
  row_ = rows_;
  next_subset_ = 0;
  by_subset_ = false;
  lone_subset_ = false;
  // More rows: fewer columns allowed.
  column_allowance_ = 0;
  history_.clear();
  ++generation_;
  // The columns of a slot's ranks are found again for each message.
  next_message();
  attributes_ = 0;
}

ElementCatalog& ColumnBuilder::catalog_for(const TableSet& tables) {
  bool fresh = false;
  ElementCatalog& catalog = catalogs_.for_tables(tables, &fresh);
  if (fresh) {
    // Element slots and texts are indexed by catalog entry. Names kept from
    // another catalog would only grow with texts no column of this batch
    // needs.
    if (columns_.empty()) {
      forget_names();
    } else {
      element_entries_.clear();
    }
  }
  return catalog;
}

void ColumnBuilder::end_message() { rows_ += message_subsets_; }

void ColumnBuilder::select_keys(const std::vector<std::string>& keys) {
  selecting_ = true;
  selected_.insert(keys.begin(), keys.end());
  key_wanted_.clear();
  for (const std::string& key : names_->keys) key_wanted_.push_back(selected_.contains(key) ? 1 : 0);
}

Status ColumnBuilder::status() const {
  if (error_) return fail(*error_);
  return {};
}

Batch ColumnBuilder::finish() && {
  Batch batch;
  for (Column& column : columns_) {
    if (column.decoded) pad(column.values, rows_, *arena_);
  }
  batch.arena = std::move(arena_);
  batch.columns = std::move(columns_);
  batch.rows = rows_;
  batch.message_rows = std::move(message_rows_);
  batch.message_rows.push_back(rows_);
  // Shared: the next builder of the thread copies them before it adds a name.
  batch.names = names_;
  return batch;
}

void ColumnBuilder::begin_subset() {
  row_ = rows_ + next_subset_++;
  by_subset_ = true;
  lone_subset_ = message_subsets_ == 1 && !selecting_;
  history_.clear();
  ++generation_;
  pending_raw_.reset();
}

std::size_t ColumnBuilder::new_element_slot(const ElementInfo& info) {
  if (info.index >= element_entries_.size()) element_entries_.resize(info.index + 1);
  // Per catalog entry, not per message: its key is looked up once.
  const ElementDefinition& definition = *info.definition;
  const std::uint32_t key = definition.abbreviation.empty()
                                ? intern(written_code(definition.code))
                                : intern(definition.abbreviation);
  // An entry's own copy of its text, even when another entry has the same
  // definition (rare): a table to share it would cost more per batch.
  BatchNames& names = own_names();
  const auto text = static_cast<std::uint32_t>(names.elements.size());
  names.elements.push_back(
      ElementText{names.element_text.size(), definition.name.size(), definition.unit.size()});
  names.element_text.append(definition.name).append(definition.unit);
  element_entries_[info.index] = ElementEntry{static_cast<std::uint32_t>(kFixedSlots + key), text};
  return kFixedSlots + key;
}

std::uint32_t ColumnBuilder::intern(std::string_view key) { return intern(key, nullptr); }

std::uint32_t ColumnBuilder::intern(std::string&& key) {
  const std::string_view text = key;
  return intern(text, &key);
}

std::uint32_t ColumnBuilder::intern(std::string_view key, std::string* made) {
  const std::size_t hash = KeyIndex::hash(key);
  if (const std::uint32_t known = key_index_.find(key, hash, names_->keys);
      known != KeyIndex::kAbsent) {
    return known;
  }
  std::vector<std::string>& keys = own_names().keys;
  const auto index = static_cast<std::uint32_t>(keys.size());
  // A key made for the purpose is moved, not copied: `key` may then be gone.
  const std::string& kept = made != nullptr ? keys.emplace_back(std::move(*made))
                                            : keys.emplace_back(key);
  key_index_.insert(hash, index);
  // Only looked at while selecting (select_keys sets them all then).
  key_wanted_.push_back(selecting_ && selected_.contains(kept) ? 1 : 0);
  // Ranks of a key come one by one, up to hundreds in a sounding.
  if (rank_lists_.empty()) {
    named_.emplace_back().reserve(16);
  } else {
    named_.push_back(std::move(rank_lists_.back()));
    rank_lists_.pop_back();
  }
  return index;
}

ColumnBuilder::Item ColumnBuilder::element_item(const ElementInfo& info,
                                                const NumericCoding& coding,
                                                const ItemTag& tag) {
  Item item = item_in_slot(info, coding, tag.role, tag.reread, element_slot(info));
  if (tag.role == ItemRole::Quality) {
    item.qualifies = tag.qualifies < history_.size()
                         ? static_cast<std::int64_t>(history_[tag.qualifies])
                         : -1;
    if (item.qualifies < 0) item.role = ItemRole::Element;
  }
  return item;
}

std::size_t ColumnBuilder::attribute_slot(const Item& item) {
  const std::size_t attribute = attribute_code(item);
  const auto parent = static_cast<std::size_t>(item.qualifies);
  if ((attributes_ + 1) * 2 > attribute_table_.size()) {
    std::vector<AttributeEntry> old(attribute_table_.size() * 2);
    old.swap(attribute_table_);
    const std::size_t mask = attribute_table_.size() - 1;
    for (const AttributeEntry& e : old) {
      if (e.message != message_) continue;
      std::size_t i = attribute_home(e.parent, e.attribute) & mask;
      while (attribute_table_[i].message == message_) i = (i + 1) & mask;
      attribute_table_[i] = e;
    }
  }
  const std::size_t mask = attribute_table_.size() - 1;
  for (std::size_t i = attribute_home(parent, attribute) & mask;; i = (i + 1) & mask) {
    AttributeEntry& e = attribute_table_[i];
    if (e.message != message_) {
      e = AttributeEntry{parent, attribute, message_, static_cast<std::uint32_t>(attributes_)};
      if (attribute_pool_.size() <= attributes_) attribute_pool_.emplace_back();
      Slot& fresh = attribute_pool_[attributes_++];
      fresh.generation = 0;
      fresh.count = 0;
      fresh.message = 0;
      return e.slot;
    }
    if (e.parent == parent && e.attribute == attribute) return e.slot;
  }
}

std::size_t ColumnBuilder::resolve(const Item& item) {
  const bool attribute = item.role == ItemRole::Quality || item.role == ItemRole::Associated;
  const std::size_t pooled = attribute ? attribute_slot(item) : 0;
  Slot& s = attribute ? attribute_pool_[pooled] : slot(item.slot);
  // For attributes the "rank" is the depth of the chain of equal attributes.
  const std::uint32_t rank = next_rank(s);
  // A (slot, rank) comes once per subset, and its column is remembered for
  // the next subsets of the message: of use only when there are some.
  if (!by_subset_ || message_subsets_ == 1) return named(item, rank);
  if (s.message != message_) {
    s.message = message_;
    s.columns.clear();
  }
  if (rank <= s.columns.size()) {
    const std::size_t c = s.columns[rank - 1];
    if (c != kNone && !used(c)) return c;
  } else {
    // Ranks come one by one: a push, not a fill.
    while (s.columns.size() < rank) s.columns.push_back(kNone);
  }
  const std::size_t c = named(item, rank);
  // `s` may have moved if named() added slots.
  Slot& again = attribute ? attribute_pool_[pooled] : slot(item.slot);
  if (rank <= again.columns.size()) again.columns[rank - 1] = c;
  return c;
}

std::uint64_t ColumnBuilder::attribute_code(const Item& item) {
  if (item.role == ItemRole::Associated) return kOperatorAttribute;
  return quality_attribute_code(item.reread, item.slot);
}

std::string ColumnBuilder::attribute_text(std::string_view parent, const Item& item,
                                          std::uint32_t rank) {
  std::string_view attribute;
  if (item.role == ItemRole::Associated) {
    attribute = fixed_key(item.role);
  } else if (item.reread != 0) {
    attribute = reread_key(item.reread);
  } else if (!item.definition->abbreviation.empty()) {
    attribute = item.definition->abbreviation;
  }
  // Without an abbreviation, the written code (kept here while in use).
  const std::string code = attribute.empty() ? key_of(*item.definition) : std::string();
  if (attribute.empty()) attribute = code;
  // A second attribute of the same kind is chained, as ecCodes names it;
  // past a few, a number says how deep, so names stay short.
  const std::uint32_t chained = std::min(rank, kMaxChain);
  std::string text;
  text.reserve(parent.size() + chained * (attribute.size() + 2) + 12);
  text.append(parent);
  for (std::uint32_t depth = 0; depth < chained; ++depth) text.append("->").append(attribute);
  if (rank > kMaxChain) text.append("[").append(std::to_string(rank)).append("]");
  return text;
}

std::uint32_t ColumnBuilder::primed(std::uint32_t key) {
  if (primed_.size() <= key) primed_.resize(names_->keys.size(), kNoKey);
  if (primed_[key] == kNoKey) {
    std::string text = names_->keys[key] + "'";
    const std::uint32_t next = intern(std::move(text));
    primed_[key] = next;
  }
  return primed_[key];
}

std::size_t ColumnBuilder::named(const Item& item, std::uint32_t rank) {
  std::uint32_t key = 0;
  std::uint32_t column_rank = 0;
  const std::size_t c = find_named(item, rank, key, column_rank);
  return c != kNone ? c : create(item, key, column_rank);
}

std::size_t ColumnBuilder::find_named(const Item& item, std::uint32_t rank, std::uint32_t& key,
                                      std::uint32_t& column_rank) {
  key = item.key;
  column_rank = rank;
  if (item.role == ItemRole::Quality || item.role == ItemRole::Associated) {
    const Column& parent = columns_[static_cast<std::size_t>(item.qualifies)];
    column_rank = parent.rank;
    // Names are made once per kind of attribute, not per column: a TEMP
    // has thousands of quality columns.
    const AttributeName name{parent.key, attribute_code(item), rank};
    if (parent.key >= last_attribute_keys_.size()) {
      last_attribute_keys_.resize(names_->keys.size());
    }
    AttributeKey& recent = last_attribute_keys_[parent.key];
    if (recent.key == kNoKey || !(recent.name == name)) {
      auto [it, added] = attribute_keys_.try_emplace(name, kNoKey);
      if (added) it->second = intern(attribute_text(names_->keys[parent.key], item, rank));
      recent = AttributeKey{name, it->second};
    }
    key = recent.key;
    std::size_t c = find(key, column_rank);
    while (c != kNone && used(c)) {
      key = primed(key);
      c = find(key, column_rank);
    }
    return c;
  }
  // Two elements sharing one key: the later takes the next free rank.
  std::size_t c = find(key, column_rank);
  while (c != kNone && used(c)) c = find(key, ++column_rank);
  return c;
}

std::size_t ColumnBuilder::create(const Item& item, std::uint32_t key, std::uint32_t rank) {
  const std::size_t end_row = rows_ + message_subsets_;
  if (columns_.size() + 1 > column_allowance_) [[unlikely]] check_column_allowance();
  Column& column = columns_.emplace_back();
  column.key = key;
  column.rank = rank;
  column.descriptor = item.descriptor;
  column.role = item.role;
  column.reread = item.reread;
  column.qualifies = item.qualifies;
  if (item.definition != nullptr) column.element = element_entries_[item.catalog_index].text;
  column.values.type = item.type;
  column.decoded = item.decoded;
  // Uncompressed rows arrive one by one; compressed ones as whole arrays,
  // which often become the column's own.
  if (!item.decoded) {
  } else if (expected_rows_ > end_row) {
    reserve_new(column.values, expected_rows_, *arena_);
  } else if (by_subset_) {
    reserve_new(column.values, end_row, *arena_);
  }
  if (item.type == ColumnType::Text && item.decoded) {
    column.values.text(*arena_).offsets.push_back(0, *arena_);
  }
  const std::size_t c = columns_.size() - 1;
  set_rank_column(key, rank, c);
  return c;
}

void ColumnBuilder::check_column_allowance() {
  const std::size_t end_row = rows_ + message_subsets_;
  const std::size_t limit = kBaseCells + kCellsPerItem * (items_ + message_subsets_);
  column_allowance_ = limit / std::max<std::size_t>(end_row, 1);
  if (columns_.size() + 1 > column_allowance_) {
    error_ = BufrError::parse("subsets too unlike to align into columns: " +
                              std::to_string(columns_.size() + 1) + " columns for " +
                              std::to_string(end_row) + " rows");
  }
}

ColumnBuilder::Item ColumnBuilder::associated_item(std::size_t element) const {
  Item item;
  item.descriptor = 999999;
  item.role = ItemRole::Associated;
  item.qualifies = static_cast<std::int64_t>(element);
  item.type = ColumnType::Int64;
  return item;
}

ColumnBuilder::Item ColumnBuilder::fixed_item(std::uint32_t code, ItemRole role) {
  // Markers and inserted text have no Table B entry: each kind has a slot
  // and a key of its own.
  Item item;
  item.descriptor = code;
  item.role = role;
  item.type = role == ItemRole::Text ? ColumnType::Text : ColumnType::Int64;
  item.slot = role == ItemRole::Marker ? 1 : 2;
  std::uint32_t& key = role == ItemRole::Marker ? marker_key_ : text_key_;
  if (key == kNoKey) key = intern(std::string_view(fixed_key(role)));
  item.key = key;
  return item;
}

void ColumnBuilder::skipped(const ElementInfo& info, const NumericCoding& coding,
                            const ItemTag& tag) {
  if (error_) return;
  items_ += message_subsets_;
  if (tag.role != ItemRole::Element) return;
  Item item = element_item(info, coding, tag);
  item.decoded = false;
  last_element_ = resolve(item);
}

void ColumnBuilder::column(ValueColumn&& column, const ElementInfo* info,
                           const NumericCoding& coding, const ItemTag& tag) {
  if (error_) return;
  items_ += message_subsets_;
  if (selecting_ && tag.role != ItemRole::Element) return;
  if (tag.role == ItemRole::Associated) {
    pending_column_ = std::move(column);
    return;
  }
  Item item;
  if (info != nullptr) {
    item = element_item(*info, coding, tag);
  } else {
    item = fixed_item(column.descriptor, tag.role);
    item.type = column.kind == ValueColumn::Kind::Text ? ColumnType::Text : ColumnType::Int64;
  }
  const std::size_t c = resolve(item);
  accept(c, item.type);
  append_column(columns_[c].values, column, coding, message_subsets_, *arena_);
  if (info != nullptr && tag.role != ItemRole::Bitmap) last_element_ = c;
  if (pending_column_ && info != nullptr) {
    ValueColumn associated = std::move(*pending_column_);
    pending_column_.reset();
    const std::size_t a = resolve(associated_item(c));
    accept(a, ColumnType::Int64);
    append_column(columns_[a].values, associated, NumericCoding{}, message_subsets_, *arena_);
  }
}

} // namespace morvane::columnar
