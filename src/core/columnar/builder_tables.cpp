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
    element_entries_ = std::move(t.element_entries);
    attribute_table_ = std::move(t.attribute_table);
    attribute_pool_ = std::move(t.attribute_pool);
    first_attributes_ = std::move(t.first_attributes);
    key_index_ = std::move(t.key_index);
    history_ = std::move(t.history);
    catalogs_ = std::move(t.catalogs);
    message_ = t.message;
    reserve_sizes(t.sizes);
    spare_tables_.reset();
  }
  if (attribute_table_.empty()) attribute_table_.resize(64);
}

void ColumnBuilder::give_back_tables() {
  if (spare_tables_ || slots_.capacity() > kMaxKeptSlots ||
      named_.size() + rank_lists_.size() > kMaxKeptRankLists ||
      attribute_table_.size() > kMaxKeptEntries || attribute_pool_.capacity() > kMaxKeptEntries ||
      first_attributes_.size() > kMaxKeptEntries ||
      key_index_.room() > kMaxKeptKeyRoom || history_.capacity() > kMaxKeptEntries) {
    return;
  }
  auto tables = std::make_unique<Tables>();
  std::size_t ranks_kept = 0;
  for (const std::vector<std::size_t>& ranks : rank_lists_) ranks_kept += ranks.capacity();
  // Last key first: the next builder takes lists from the back as its keys
  // come, mostly in the same order, so each key gets the room it had.
  for (auto it = named_.rbegin(); it != named_.rend(); ++it) {
    std::vector<std::size_t>& ranks = *it;
    if (ranks_kept + ranks.capacity() > kMaxKeptRanks) continue;
    ranks_kept += ranks.capacity();
    ranks.clear();
    rank_lists_.push_back(std::move(ranks));
  }
  tables->rank_lists = std::move(rank_lists_);
  tables->slots = emptied(slots_);
  tables->element_entries = emptied(element_entries_);
  // Entries stay: stamped with earlier message numbers, they count as free.
  tables->attribute_table = std::move(attribute_table_);
  tables->attribute_pool = emptied(attribute_pool_);
  // Kept whole, as the attribute table is.
  tables->first_attributes = std::move(first_attributes_);
  key_index_.clear();
  tables->key_index = std::move(key_index_);
  tables->history = emptied(history_);
  tables->catalogs = std::move(catalogs_);
  tables->message = message_;
  tables->sizes = sizes_;
  spare_tables_ = std::move(tables);
}

void ColumnBuilder::reserve_sizes(const BatchSizes& sizes) {
  // Capped: a batch of very many keys is no reason to make every later
  // one large.
  const std::size_t keys = std::min(sizes.keys, kMaxKeptRankLists);
  keys_.reserve(keys);
  key_wanted_.reserve(keys);
  named_.reserve(keys);
  elements_.reserve(std::min(sizes.elements, kMaxKeptEntries));
  element_text_.reserve(std::min(sizes.element_text, kMaxKeptEntries * 16));
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
