// The sink of both walks that builds columns: each item finds its column by
// its name "#rank#key" (rank counted within the subset), so subsets of
// different structure line up by occurrence and a column missing from a
// subset gets a null. Ranks are counted per element of the message's
// catalog and the column of each (element, rank) is remembered for the
// message, so a name is built once per column and message, not per value.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../data/walk_sink.hpp"
#include "../error.hpp"
#include "batch.hpp"
#include "column_history.hpp"
#include "key_index.hpp"

namespace morvane::columnar {

class ColumnBuilder {
public:
  static constexpr bool kMeanings = false;
  static constexpr bool kValues = false;  // computed from the raws here

  // The working tables come from the last builder of the thread, and go
  // back to it (builder_tables.cpp).
  ColumnBuilder() { take_tables(); }
  ~ColumnBuilder() { give_back_tables(); }
  ColumnBuilder(const ColumnBuilder&) = delete;
  ColumnBuilder& operator=(const ColumnBuilder&) = delete;

  // The number of rows all messages will add, when known beforehand: every
  // column is then allocated once. Counts are only claims of the messages'
  // headers, so what is set aside up front is capped.
  void expect_rows(std::size_t rows) { expected_rows_ = std::min(rows, kMaxExpectedRows); }
  // Elements only: quality values, associated fields, markers and inserted
  // text are left out. Of compressed messages, only the values of elements
  // whose key is in `keys`, and of class 31 (which steers the walk), are
  // read; the other elements' columns name their occurrence without rows
  // (Column::decoded). For callers that want a few keys.
  void select_keys(const std::vector<std::string>& keys);
  // The catalog the next message is walked with: one per table set, kept
  // while consecutive messages share it, and handed to the next builder of
  // the thread (its entries are what the per-element state here is indexed
  // by).
  ElementCatalog& catalog_for(const TableSet& tables);
  // Rows of a message are added after those of the messages before it.
  // `data_octets`: the size of its data section, an upper bound on items.
  void begin_message(std::size_t subsets, std::size_t data_octets);
  void end_message();
  // A failure while building (subsets too unlike to align); the builder is
  // then of no further use.
  [[nodiscard]] Status status() const;
  [[nodiscard]] Batch finish() &&;

  // Uncompressed sink.
  void begin_subset();
  [[gnu::always_inline]] void remember() { history_.push_back(last_element_); }
  // Inline in the walk, where most tags are constants: a value of a
  // one-subset message goes straight to its own path, one call deep.
  [[gnu::always_inline]] void numeric(const ElementInfo& info, const NumericCoding& coding,
                                      std::uint64_t raw, bool present, double value,
                                      const ItemTag& tag) {
    if (lone_subset_ && !error_ && !pending_raw_) [[likely]] {
      if (tag.role == ItemRole::Element || tag.role == ItemRole::Bitmap) {
        ++items_;
        lone_subset_value(info, coding, raw, present, value, tag);
        return;
      }
      if (tag.role == ItemRole::Quality && tag.qualifies < history_.size()) {
        ++items_;
        lone_subset_quality(info, coding, raw, present, value, tag);
        return;
      }
    }
    numeric_any(info, coding, raw, present, value, tag);
  }
  void text(const ElementInfo& info, std::uint16_t width, std::uint64_t text_counter,
            std::span<const std::uint8_t> bytes, const ItemTag& tag);
  void associated(std::uint8_t width, std::uint64_t raw);
  void inserted_text(std::uint32_t code, std::span<const std::uint8_t> bytes);
  void marker(std::uint32_t code);

  // Compressed sink.
  void column(ValueColumn&& column, const ElementInfo* info, const NumericCoding& coding,
              const ItemTag& tag);
  [[nodiscard]] bool wants(const ElementInfo* info, const ItemTag& tag) {
    return !selecting_ || (info != nullptr && tag.role == ItemRole::Element &&
                           key_wanted_[element_slot(*info) - kFixedSlots] != 0);
  }
  void skipped(const ElementInfo& info, const NumericCoding& coding, const ItemTag& tag);

private:
  // What decides an item's column.
  struct Item {
    std::uint32_t descriptor = 0;
    ItemRole role = ItemRole::Element;
    std::uint8_t reread = 0;
    std::int64_t qualifies = -1;
    ColumnType type = ColumnType::Int64;
    const ElementDefinition* definition = nullptr;
    std::size_t slot = 0;  // what ranks are counted by
    std::uint32_t key = 0;  // for all but attributes, whose key is their element's
    std::uint32_t catalog_index = 0;  // of `definition`; its entry is known when set
    bool decoded = true;
  };

  // The columns of a slot's ranks. Mostly one: an attribute slot exists per
  // column, and a heap block each would cost more than its column.
  class RankColumns {
  public:
    [[nodiscard]] std::size_t size() const { return size_; }
    std::size_t& operator[](std::size_t i) { return i == 0 ? first_ : more_[i - 1]; }
    void push_back(std::size_t column) {
      if (size_ == 0) {
        first_ = column;
      } else {
        more_.resize(size_ - 1);
        more_.push_back(column);
      }
      ++size_;
    }
    void clear() { size_ = 0; }

  private:
    std::size_t first_ = 0;
    std::vector<std::size_t> more_;
    std::size_t size_ = 0;
  };

  // Rank counting and the columns found so far for one element (or one
  // attribute of one column).
  struct Slot {
    std::uint32_t generation = 0;
    std::uint32_t count = 0;
    std::uint32_t message = 0;  // the message `columns` is known for
    RankColumns columns;  // by rank - 1; kNone when not yet known
  };
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  // Slots 0..2: kept free, markers, inserted text; then one per key index
  // (bitmap entries count with the other 0-31-031 values).
  static constexpr std::size_t kFixedSlots = 3;
  static constexpr std::uint32_t kNoSlot = static_cast<std::uint32_t>(-1);
  // What a catalog entry stands for in this builder: one look-up for the
  // slot of each value and the text of each new column.
  struct ElementEntry {
    std::uint32_t slot = kNoSlot;
    std::uint32_t text = Column::kNoElement;  // index in the names' elements
  };
  // The attribute slots of a message: an open-addressing table of
  // (element column, attribute) whose entries are live only for the message
  // they were stamped with, and a pool of slots kept across messages.
  struct AttributeEntry {
    std::size_t parent = 0;
    std::size_t attribute = 0;  // element slot, or a re-read / associated code
    std::uint32_t message = 0;
    std::uint32_t slot = 0;
  };
  // The first kind of attribute met on a column in a one-subset message and
  // the depth of its chain: nearly every quality value is the one attribute
  // of its column, counted here without probing the attribute table.
  struct FirstAttribute {
    std::uint32_t message = 0;
    std::uint32_t depth = 0;
    std::uint64_t attribute = 0;
  };
  static std::size_t attribute_home(std::size_t parent, std::size_t attribute) {
    return parent * 0x9E3779B97F4A7C15ULL ^ attribute;
  }

  Item element_item(const ElementInfo& info, const NumericCoding& coding, const ItemTag& tag);
  // The item of an element value of `role` whose slot is known (quality
  // links are the caller's): inline, as nearly every value makes one.
  static Item item_in_slot(const ElementInfo& info, const NumericCoding& coding, ItemRole role,
                           std::uint8_t reread, std::size_t slot) {
    Item item;
    item.descriptor = info.definition->code;
    item.definition = info.definition;
    item.role = role;
    item.reread = reread;
    item.slot = slot;
    item.key = static_cast<std::uint32_t>(slot - kFixedSlots);
    item.catalog_index = info.index;
    item.type = element_type(info, coding);
    return item;
  }
  static ColumnType element_type(const ElementInfo& info, const NumericCoding& coding) {
    if (info.kind == ElementKind::Text) return ColumnType::Text;
    if (info.kind == ElementKind::CodeOrFlag || coding.scale <= 0) return ColumnType::Int64;
    return ColumnType::Float64;
  }
  // The column an element's value goes to when an earlier subset (or
  // message) made it already, as resolve() would answer, or kNone: the usual
  // case, without building an Item.
  std::size_t known_column(const ElementInfo& info, const ItemTag& tag) {
    if (!by_subset_ || (tag.role != ItemRole::Element && tag.role != ItemRole::Bitmap)) {
      return kNone;
    }
    const std::size_t index = element_slot(info);
    Slot& s = slot(index);
    const std::uint32_t rank = s.generation == generation_ ? s.count + 1 : 1;
    std::size_t c = kNone;
    if (s.message == message_ && rank <= s.columns.size()) c = s.columns[rank - 1];
    if (c == kNone || used(c)) return kNone;
    // The rank counted, as resolve() counts it.
    s.generation = generation_;
    s.count = rank;
    return c;
  }
  // The column of an element (or bitmap entry) of a message of one subset:
  // its (key, rank) is looked up once and, mostly, made at once.
  std::size_t lone_subset_column(const ElementInfo& info, const NumericCoding& coding,
                                 const ItemTag& tag);
  // The same for a quality value: the depth of its chain on the element's
  // column, from that column's first attribute record when it is of this
  // kind, else from the attribute table.
  std::size_t lone_subset_attribute(const ElementInfo& info, const NumericCoding& coding,
                                    const ItemTag& tag);
  std::size_t element_column(const ElementInfo& info, const NumericCoding& coding,
                             const ItemTag& tag) {
    if (message_subsets_ == 1 && by_subset_) {
      if (tag.role == ItemRole::Element || tag.role == ItemRole::Bitmap) {
        return lone_subset_column(info, coding, tag);
      }
      if (tag.role == ItemRole::Quality) return lone_subset_attribute(info, coding, tag);
    }
    const std::size_t c = known_column(info, tag);
    return c != kNone ? c : resolve(element_item(info, coding, tag));
  }
  // The associated field read before the element of column `element`.
  Item associated_item(std::size_t element) const;
  // A marker or inserted text (ItemRole::Marker or ItemRole::Text).
  Item fixed_item(std::uint32_t code, ItemRole role);
  // The slot of an element: one per key, so elements sharing a key share ranks.
  [[gnu::always_inline]] std::size_t element_slot(const ElementInfo& info) {
    // Once per value: the lookup inline, an entry's first sight out of line.
    if (info.index < element_entries_.size()) {
      const std::uint32_t known = element_entries_[info.index].slot;
      if (known != kNoSlot) return known;
    }
    return new_element_slot(info);
  }
  // The slot of a catalog entry and its element's text, both made on its
  // first sight.
  [[gnu::noinline]] std::size_t new_element_slot(const ElementInfo& info);
  std::size_t resolve(const Item& item);
  std::size_t named(const Item& item, std::uint32_t rank);
  // The column named for `item` at `rank` that is free in this subset, or
  // kNone with `key` and `column_rank` set to the name a new one takes.
  std::size_t find_named(const Item& item, std::uint32_t rank, std::uint32_t& key,
                         std::uint32_t& column_rank);
  // What tells an attribute's kind apart (see attribute_slot).
  static std::uint64_t attribute_code(const Item& item);
  // Class 33 values are told apart by their element, re-reads by their
  // operator (values above any element slot), associated fields share one.
  static constexpr std::uint64_t kOperatorAttribute = std::uint64_t{1} << 62U;
  static std::uint64_t quality_attribute_code(std::uint8_t reread, std::size_t slot) {
    return reread != 0 ? kOperatorAttribute + reread : slot;
  }
  // "parent->attribute", chained `rank` times.
  static std::string attribute_text(std::string_view parent, const Item& item, std::uint32_t rank);
  // The key with a "'" added: the same attribute again on one element.
  std::uint32_t primed(std::uint32_t key);
  std::size_t create(const Item& item, std::uint32_t key, std::uint32_t rank);
  // Column `c` is the one named "#rank#key".
  void set_rank_column(std::uint32_t key, std::uint32_t rank, std::size_t c) {
    auto& ranks = named_[key];
    if (ranks.size() + 1 == rank) {
      // Ranks come one by one.
      ranks.push_back(c);
    } else {
      if (ranks.size() < rank) ranks.resize(rank, kNone);
      ranks[rank - 1] = c;
    }
  }
  // Any numeric value: the paths of numeric() and all the others.
  [[gnu::noinline]] void numeric_any(const ElementInfo& info, const NumericCoding& coding,
                                     std::uint64_t raw, bool present, double value,
                                     const ItemTag& tag);
  // A numeric value appended to column `c`, whose values are of `type`.
  void push_numeric(std::size_t c, ColumnType type, const NumericCoding& coding,
                    std::uint64_t raw, bool present, double value);
  // A new short numeric column `made` holding one value after the rows
  // before it (nulls), as create() and push_numeric() would make it; false,
  // and nothing made, for a column that is not short or not allowed.
  [[gnu::always_inline]] bool new_short_column(std::uint32_t descriptor, std::uint32_t element,
                                               ItemRole role, std::uint8_t reread,
                                               std::int64_t qualifies, std::uint32_t key,
                                               std::uint32_t rank, ColumnType type,
                                               const NumericCoding& coding, std::uint64_t raw,
                                               bool present, double value, std::size_t& made);
  // The column of an element value or bitmap entry of a one-subset message
  // at `rank` of its slot `index`, when the column `found` there (or kNone)
  // is taken or yet to be made.
  [[gnu::noinline]] std::size_t lone_column_at(const ElementInfo& info, const NumericCoding& coding,
                                               const ItemTag& tag, std::size_t index,
                                               std::uint32_t rank, std::size_t found);
  // The depth of a quality value's chain on the element column `parent` of
  // a one-subset message, when its kind is the first met on that column in
  // the message (nearly always); 0 for a second kind, which the attribute
  // table counts for the rest of the message.
  [[gnu::always_inline]] std::uint32_t first_attribute_rank(std::size_t parent,
                                                            std::uint64_t attribute) {
    if (parent >= first_attributes_.size()) first_attributes_.resize(columns_.size());
    FirstAttribute& first = first_attributes_[parent];
    if (first.message != message_) {
      first = FirstAttribute{message_, 1, attribute};
      return 1;
    }
    return first.attribute == attribute ? ++first.depth : 0;
  }
  // A quality value of a message of one subset that qualifies an element read.
  // Out of line, so that numeric(), inlined in the walk, stays small there.
  [[gnu::noinline]] void lone_subset_quality(const ElementInfo& info, const NumericCoding& coding,
                                             std::uint64_t raw, bool present, double value,
                                             const ItemTag& tag);
  // An element value or bitmap entry of a message of one subset, with no
  // associated field pending: nearly every value of a sounding.
  [[gnu::noinline]] void lone_subset_value(const ElementInfo& info, const NumericCoding& coding,
                                           std::uint64_t raw, bool present, double value,
                                           const ItemTag& tag);
  // The columns a message may have, for the items read so far, worked out
  // again only when a new column would pass the last count (it only grows
  // with the items); a failure once passed.
  void check_column_allowance();
  // The index of a key in the batch's keys, added when new.
  std::uint32_t intern(std::string_view key);
  std::uint32_t intern(std::string&& key);
  // The two above: `made`, when given, holds `key` and may be taken.
  std::uint32_t intern(std::string_view key, std::string* made);
  // The column named "#rank#key", or kNone.
  [[nodiscard]] std::size_t find(std::uint32_t key, std::uint32_t rank) const {
    const auto& ranks = named_[key];
    return rank <= ranks.size() ? ranks[rank - 1] : kNone;
  }
  Slot& slot(std::size_t index) {
    if (index >= slots_.size()) [[unlikely]] grow_slots(index);
    return slots_[index];
  }
  [[gnu::noinline]] void grow_slots(std::size_t index) { slots_.resize(index + 1); }
  std::size_t attribute_slot(const Item& item);
  std::uint32_t next_rank(Slot& s) const {
    if (s.generation != generation_) {
      s.generation = generation_;
      s.count = 0;
    }
    return ++s.count;
  }
  [[nodiscard]] bool used(std::size_t column) const {
    return columns_[column].values.rows() > row_;
  }
  // Column `c` made able to hold a value of `type`.
  void accept(std::size_t c, ColumnType type) {
    ColumnValues& values = columns_[c].values;
    // Mostly a column of the type already, with no rows to pad.
    if (values.rows() < row_ || values.type != type) [[unlikely]] convert(values, type);
  }
  [[gnu::noinline]] void convert(ColumnValues& values, ColumnType type);
  // Associated field read before the element `element` (its column).
  void flush_associated(std::size_t element);

  static constexpr std::uint32_t kNoKey = static_cast<std::uint32_t>(-1);
  // Interned attribute names by (element key, attribute_code, rank).
  struct AttributeName {
    std::uint32_t parent_key = 0;
    std::uint64_t attribute = 0;
    std::uint32_t rank = 0;
    bool operator==(const AttributeName&) const = default;
  };
  struct AttributeNameHash {
    std::size_t operator()(const AttributeName& n) const {
      const std::size_t h =
          attribute_home(n.parent_key, n.attribute) ^ (std::size_t{n.rank} << 40U);
      return h ^ (h >> 29U);
    }
  };
  using AttributeKeys = std::unordered_map<AttributeName, std::uint32_t, AttributeNameHash>;
  // The last key found in attribute_keys_ for each parent key: an element
  // mostly has one kind of attribute, on every column of its key.
  struct AttributeKey {
    AttributeName name;
    std::uint32_t key = kNoKey;
  };

  // The tables a builder only works with: a run of a few small messages
  // costs less than making them anew. The names of the last batch go with
  // them, and the next builder adds to those while it decodes with the same
  // catalog: its batch shares them (see BatchNames).
  struct Tables {
    std::vector<std::vector<std::size_t>> rank_lists;  // emptied, room kept
    std::vector<Slot> slots;
    // What the names are found by, kept with them (or emptied when they are
    // not kept).
    std::shared_ptr<BatchNames> names;
    std::vector<std::vector<std::size_t>> named;  // one emptied list per key
    std::vector<ElementEntry> element_entries;
    AttributeKeys attribute_keys;
    std::vector<AttributeKey> last_attribute_keys;
    std::vector<std::uint32_t> primed;
    std::uint32_t marker_key = kNoKey;
    std::uint32_t text_key = kNoKey;
    std::vector<AttributeEntry> attribute_table;
    std::vector<Slot> attribute_pool;
    std::vector<FirstAttribute> first_attributes;
    KeyIndex key_index;
    ColumnHistory history;
    // The catalog of the last table set: the next builder mostly decodes
    // with the same set, and building the catalog again costs more than a
    // small message's walk.
    CatalogCache catalogs;
    // Attribute table entries are stamped with it: it keeps counting.
    std::uint32_t message = 0;
  };
  // The last builder's tables on this thread; empty while a builder holds them.
  static thread_local std::unique_ptr<Tables> spare_tables_;
  void take_tables();
  void give_back_tables();
  // No names kept: a batch starts its own (when the catalog changes before
  // any column is made, or the names grew past what is worth keeping).
  void forget_names();
  // The names to add to, copied first while a finished batch holds them.
  BatchNames& own_names() {
    if (names_.use_count() > 1) [[unlikely]] names_ = std::make_shared<BatchNames>(*names_);
    return *names_;
  }
  // A new message number; all stamps cleared when it wraps.
  void next_message();
  // Emptied rank lists to reuse, from earlier builders.
  std::vector<std::vector<std::size_t>> rank_lists_;

  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
  };

  CatalogCache catalogs_;
  std::unique_ptr<CellArena> arena_ = std::make_unique<CellArena>();
  std::vector<Column> columns_;
  std::shared_ptr<BatchNames> names_;
  std::uint32_t marker_key_ = kNoKey;  // "operator", once interned
  std::uint32_t text_key_ = kNoKey;    // "text"
  std::vector<std::uint8_t> key_wanted_;
  AttributeKeys attribute_keys_;
  std::vector<AttributeKey> last_attribute_keys_;  // by parent key
  std::vector<std::uint32_t> primed_;  // by key index; kNoKey until needed
  std::unordered_set<std::string, KeyHash, std::equal_to<>> selected_;
  bool selecting_ = false;
  KeyIndex key_index_;
  std::vector<std::vector<std::size_t>> named_;  // by key index, then rank - 1
  std::vector<Slot> slots_;
  std::vector<ElementEntry> element_entries_;  // by catalog index
  std::vector<AttributeEntry> attribute_table_;  // a power of two, at least 64
  std::vector<Slot> attribute_pool_;
  std::vector<FirstAttribute> first_attributes_;  // by column; stamped with the message
  std::size_t attributes_ = 0;  // entries of this message
  std::uint32_t generation_ = 1;  // changes with each subset (each compressed message)
  std::uint32_t message_ = 0;
  ColumnHistory history_;
  std::size_t last_element_ = 0;

  std::size_t rows_ = 0;            // rows of finished messages
  std::size_t message_subsets_ = 0;
  std::size_t row_ = 0;             // first row the items go to
  std::size_t next_subset_ = 0;
  bool by_subset_ = false;  // an uncompressed message
  // In a subset of a one-subset message, all items kept: numeric()'s own paths.
  bool lone_subset_ = false;
  std::size_t expected_rows_ = 0;
  static constexpr std::size_t kMaxExpectedRows = std::size_t{1} << 20U;
  std::size_t items_ = 0;
  std::size_t column_allowance_ = 0;  // columns known to be within the limit
  std::vector<std::size_t> message_rows_;
  std::optional<std::uint64_t> pending_raw_;      // uncompressed associated field
  std::optional<ValueColumn> pending_column_;     // compressed associated field
  std::optional<BufrError> error_;
};

} // namespace morvane::columnar
