// The working tables of column builders, handed from one to the next on a
// thread: decoding a file runs a builder per run of messages, mostly of one
// small message, and making its tables anew costs more than its columns.
#include <algorithm>
#include <memory>

#include "column_builder.hpp"

namespace morvane::columnar {

namespace {

// Tables grown past these are let go rather than kept for the thread's life
// (a few MB at most), and the key index is cleared entry by entry, so a
// large one would slow every later builder.
constexpr std::size_t kMaxKeptSlots = std::size_t{1} << 16U;
constexpr std::size_t kMaxKeptRankLists = std::size_t{1} << 14U;
constexpr std::size_t kMaxKeptRanks = std::size_t{1} << 18U;  // over all rank lists
constexpr std::size_t kMaxKeptEntries = std::size_t{1} << 16U;
constexpr std::size_t kMaxKeptKeyRoom = std::size_t{1} << 13U;
// Names past these start afresh: every batch that shares them holds them.
constexpr std::size_t kMaxKeptKeys = std::size_t{1} << 12U;
constexpr std::size_t kMaxKeptText = std::size_t{1} << 17U;

// A table's room without its entries.
template <class Table> Table emptied(Table& table) {
  table.clear();
  return std::move(table);
}

} // namespace

thread_local std::unique_ptr<ColumnBuilder::Tables> ColumnBuilder::spare_tables_;

void ColumnBuilder::take_tables() {
  if (spare_tables_) {
    Tables& t = *spare_tables_;
    rank_lists_ = std::move(t.rank_lists);
    slots_ = std::move(t.slots);
    names_ = std::move(t.names);
    named_ = std::move(t.named);
    element_entries_ = std::move(t.element_entries);
    attribute_keys_ = std::move(t.attribute_keys);
    last_attribute_keys_ = std::move(t.last_attribute_keys);
    primed_ = std::move(t.primed);
    marker_key_ = t.marker_key;
    text_key_ = t.text_key;
    attribute_table_ = std::move(t.attribute_table);
    attribute_pool_ = std::move(t.attribute_pool);
    first_attributes_ = std::move(t.first_attributes);
    key_index_ = std::move(t.key_index);
    history_ = std::move(t.history);
    catalogs_ = std::move(t.catalogs);
    message_ = t.message;
    spare_tables_.reset();
  }
  if (!names_) names_ = std::make_shared<BatchNames>();
  if (attribute_table_.empty()) attribute_table_.resize(64);
}

void ColumnBuilder::give_back_tables() {
  if (spare_tables_ || slots_.capacity() > kMaxKeptSlots ||
      named_.size() + rank_lists_.size() > kMaxKeptRankLists ||
      attribute_table_.size() > kMaxKeptEntries || attribute_pool_.capacity() > kMaxKeptEntries ||
      first_attributes_.size() > kMaxKeptEntries || history_.capacity() > kMaxKeptEntries) {
    return;
  }
  std::size_t ranks = 0;
  for (const std::vector<std::size_t>& list : named_) ranks += list.capacity();
  const BatchNames& names = *names_;
  if (names.keys.size() > kMaxKeptKeys || names.elements.size() > kMaxKeptKeys ||
      names.element_text.size() > kMaxKeptText || attribute_keys_.size() > kMaxKeptKeys ||
      key_index_.room() > kMaxKeptKeyRoom || ranks > kMaxKeptRanks) {
    forget_names();
  }
  for (std::vector<std::size_t>& list : named_) list.clear();
  auto tables = std::make_unique<Tables>();
  tables->rank_lists = std::move(rank_lists_);
  tables->slots = emptied(slots_);
  tables->names = std::move(names_);
  tables->named = std::move(named_);
  tables->element_entries = std::move(element_entries_);
  tables->attribute_keys = std::move(attribute_keys_);
  tables->last_attribute_keys = std::move(last_attribute_keys_);
  tables->primed = std::move(primed_);
  tables->marker_key = marker_key_;
  tables->text_key = text_key_;
  // Entries stay: stamped with earlier message numbers, they count as free.
  tables->attribute_table = std::move(attribute_table_);
  tables->attribute_pool = emptied(attribute_pool_);
  // Kept whole, as the attribute table is.
  tables->first_attributes = std::move(first_attributes_);
  tables->key_index = std::move(key_index_);
  tables->history = emptied(history_);
  tables->catalogs = std::move(catalogs_);
  tables->message = message_;
  spare_tables_ = std::move(tables);
}

void ColumnBuilder::forget_names() {
  names_ = std::make_shared<BatchNames>();
  std::size_t ranks_kept = 0;
  for (const std::vector<std::size_t>& list : rank_lists_) ranks_kept += list.capacity();
  // Last key first: the next keys take lists from the back as they come,
  // mostly in the same order, so each key gets the room it had.
  for (auto it = named_.rbegin(); it != named_.rend(); ++it) {
    std::vector<std::size_t>& list = *it;
    if (ranks_kept + list.capacity() > kMaxKeptRanks) continue;
    ranks_kept += list.capacity();
    list.clear();
    rank_lists_.push_back(std::move(list));
  }
  named_.clear();
  // Cleared entry by entry: a large index would slow every later batch.
  if (key_index_.room() > kMaxKeptKeyRoom) {
    key_index_ = KeyIndex();
  } else {
    key_index_.clear();
  }
  element_entries_.clear();
  attribute_keys_.clear();
  last_attribute_keys_.clear();
  primed_.clear();
  key_wanted_.clear();
  marker_key_ = kNoKey;
  text_key_ = kNoKey;
}

void ColumnBuilder::next_message() {
  if (++message_ != 0) return;
  // Wrapped: no stamp of an earlier message may match a later one.
  for (AttributeEntry& e : attribute_table_) e.message = 0;
  for (Slot& s : slots_) s.message = 0;
  for (Slot& s : attribute_pool_) s.message = 0;
  for (FirstAttribute& a : first_attributes_) a.message = 0;
  message_ = 1;
}

} // namespace morvane::columnar
