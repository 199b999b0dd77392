#include "column_builder.hpp"

#include <algorithm>
#include <limits>

#include "column_values.hpp"

namespace morvane::columnar {

namespace {

// Aligning subsets of different structure leaves nulls; this many cells per
// item read (plus a fixed allowance) is the most a decode may build, so a
// message whose subsets share nothing fails instead of filling memory.
constexpr std::size_t kCellsPerItem = 32;
constexpr std::size_t kBaseCells = std::size_t{1} << 25U;

const std::string& key_of(const ElementDefinition& definition, std::string& scratch) {
  if (!definition.abbreviation.empty()) return definition.abbreviation;
  scratch = written_code(definition.code);
  return scratch;
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

bool counted(ItemRole role) { return role != ItemRole::Quality && role != ItemRole::Associated; }

std::string rank_name(std::uint32_t rank, const std::string& key) {
  std::string name;
  name.reserve(key.size() + 12);
  name.push_back('#');
  name.append(std::to_string(rank));
  name.push_back('#');
  name.append(key);
  return name;
}

} // namespace

void ColumnBuilder::begin_message(std::size_t subsets) {
  message_rows_.push_back(rows_);
  message_subsets_ = subsets;
  row_ = rows_;
  next_subset_ = 0;
  history_.clear();
  if (!current_.empty()) previous_.swap(current_);
  current_.clear();
  matching_ = true;
  counts_.clear();
}

void ColumnBuilder::end_message() {
  rows_ += message_subsets_;
  if (!current_.empty()) previous_.swap(current_);
  current_.clear();
}

Status ColumnBuilder::status() const {
  if (error_) return fail(*error_);
  return {};
}

Batch ColumnBuilder::finish() && {
  Batch batch;
  for (Column& column : columns_) pad(column.values, rows_);
  batch.columns = std::move(columns_);
  batch.rows = rows_;
  batch.message_rows = std::move(message_rows_);
  batch.message_rows.push_back(rows_);
  return batch;
}

void ColumnBuilder::begin_subset() {
  row_ = rows_ + next_subset_++;
  history_.clear();
  if (!current_.empty()) previous_.swap(current_);
  current_.clear();
  matching_ = true;
  counts_.clear();
  pending_raw_.reset();
}

ColumnBuilder::Item ColumnBuilder::element_item(const ElementInfo& info,
                                                const NumericCoding& coding,
                                                const ItemTag& tag) const {
  Item item;
  item.descriptor = info.definition->code;
  item.definition = info.definition;
  item.role = tag.role;
  item.reread = tag.reread;
  if (tag.role == ItemRole::Quality) {
    item.qualifies = tag.qualifies < history_.size()
                         ? static_cast<std::int64_t>(history_[tag.qualifies])
                         : -1;
    if (item.qualifies < 0) item.role = ItemRole::Element;
  }
  if (info.kind == ElementKind::Text) {
    item.type = ColumnType::Text;
  } else if (info.kind == ElementKind::CodeOrFlag || coding.scale <= 0) {
    item.type = ColumnType::Int64;
  } else {
    item.type = ColumnType::Float64;
  }
  return item;
}

void ColumnBuilder::restart_counts() {
  counts_.clear();
  for (std::size_t c : current_) {
    const Column& column = columns_[c];
    if (!counted(column.role)) continue;
    std::uint32_t& count = counts_[column.key];
    count = std::max(count, column.rank);
  }
}

std::size_t ColumnBuilder::resolve(const Item& item) {
  const std::size_t position = current_.size();
  if (matching_ && position < previous_.size()) {
    const std::size_t c = previous_[position];
    const Column& column = columns_[c];
    if (column.descriptor == item.descriptor && column.role == item.role &&
        column.reread == item.reread && column.qualifies == item.qualifies && !used(c)) {
      current_.push_back(c);
      return c;
    }
  }
  if (matching_) {
    matching_ = false;
    restart_counts();
  }
  std::string key;
  std::uint32_t rank = 0;
  std::string name;
  if (item.role == ItemRole::Quality || item.role == ItemRole::Associated) {
    const Column& parent = columns_[static_cast<std::size_t>(item.qualifies)];
    std::string scratch;
    const std::string attribute =
        item.role == ItemRole::Associated ? std::string(fixed_key(item.role))
        : item.reread != 0                ? std::string(reread_key(item.reread))
                                          : key_of(*item.definition, scratch);
    key = parent.key;
    key.append("->").append(attribute);
    rank = parent.rank;
    name = rank_name(rank, key);
    // A second attribute of the same kind is chained, as ecCodes names it.
    for (auto it = by_name_.find(name); it != by_name_.end() && used(it->second);
         it = by_name_.find(name)) {
      key.append("->").append(attribute);
      name = rank_name(rank, key);
    }
  } else {
    std::string scratch;
    key = item.definition != nullptr ? key_of(*item.definition, scratch)
                                     : std::string(fixed_key(item.role));
    std::uint32_t& count = counts_[key];
    do {
      rank = ++count;
      name = rank_name(rank, key);
    } while (by_name_.contains(name) && used(by_name_.find(name)->second));
  }
  std::size_t c;
  if (auto it = by_name_.find(name); it != by_name_.end()) {
    c = it->second;
  } else {
    c = create(item, std::move(key), rank, std::move(name));
  }
  current_.push_back(c);
  return c;
}

std::size_t ColumnBuilder::create(const Item& item, std::string&& key, std::uint32_t rank,
                                  std::string&& name) {
  const std::size_t end_row = rows_ + message_subsets_;
  const std::size_t limit = kBaseCells + kCellsPerItem * (items_ + message_subsets_);
  if ((columns_.size() + 1) > limit / std::max<std::size_t>(end_row, 1)) {
    error_ = BufrError::parse("subsets too unlike to align into columns: " +
                              std::to_string(columns_.size() + 1) + " columns for " +
                              std::to_string(end_row) + " rows");
  }
  Column& column = columns_.emplace_back();
  column.name = std::move(name);
  column.key = std::move(key);
  column.rank = rank;
  column.descriptor = item.descriptor;
  column.role = item.role;
  column.reread = item.reread;
  column.qualifies = item.qualifies;
  if (item.definition != nullptr) {
    column.element_name = item.definition->name;
    column.unit = item.definition->unit;
  }
  column.values = empty_values(item.type);
  const std::size_t c = columns_.size() - 1;
  by_name_.emplace(column.name, c);
  return c;
}

void ColumnBuilder::accept(std::size_t c, ColumnType type) {
  ColumnValues& values = columns_[c].values;
  pad(values, row_);
  if (values.type == type) return;
  if (values.type == ColumnType::Text) return;  // numbers are written as text
  if (type == ColumnType::Text) {
    to_text(values);
  } else if (type == ColumnType::Float64) {
    to_float(values);
  }
}

void ColumnBuilder::numeric(const ElementInfo& info, const NumericCoding& coding,
                            std::uint64_t raw, bool present, double value, const ItemTag& tag) {
  if (error_) return;
  ++items_;
  const Item item = element_item(info, coding, tag);
  const std::size_t c = resolve(item);
  accept(c, item.type);
  ColumnValues& values = columns_[c].values;
  if (!present) {
    push_null(values);
  } else if (values.type == ColumnType::Int64) {
    std::int64_t exact = 0;
    if (exact_integer(coding, raw, exact)) {
      push_int(values, exact);
    } else {
      to_float(values);
      push_float(values, value);
    }
  } else if (values.type == ColumnType::Float64) {
    push_float(values, value);
  } else {
    push_number_text(values, value);
  }
  if (tag.role != ItemRole::Bitmap) last_element_ = c;
  flush_associated(c);
}

void ColumnBuilder::text(const ElementInfo& info, std::uint16_t, std::uint64_t,
                         std::span<const std::uint8_t> bytes, const ItemTag& tag) {
  if (error_) return;
  ++items_;
  const Item item = element_item(info, NumericCoding{}, tag);
  const std::size_t c = resolve(item);
  accept(c, ColumnType::Text);
  push_text(columns_[c].values, bytes);
  last_element_ = c;
  flush_associated(c);
}

void ColumnBuilder::associated(std::uint8_t, std::uint64_t raw) { pending_raw_ = raw; }

void ColumnBuilder::flush_associated(std::size_t element) {
  if (!pending_raw_) return;
  const std::uint64_t raw = *pending_raw_;
  pending_raw_.reset();
  Item item;
  item.descriptor = 999999;
  item.role = ItemRole::Associated;
  item.qualifies = static_cast<std::int64_t>(element);
  item.type = ColumnType::Int64;
  const std::size_t c = resolve(item);
  accept(c, ColumnType::Int64);
  if (columns_[c].values.type == ColumnType::Int64) {
    push_int(columns_[c].values, static_cast<std::int64_t>(raw));
  } else {
    push_float(columns_[c].values, static_cast<double>(raw));
  }
}

void ColumnBuilder::inserted_text(std::uint32_t code, std::span<const std::uint8_t> bytes) {
  if (error_) return;
  ++items_;
  Item item;
  item.descriptor = code;
  item.role = ItemRole::Text;
  item.type = ColumnType::Text;
  const std::size_t c = resolve(item);
  accept(c, ColumnType::Text);
  push_text(columns_[c].values, bytes);
}

void ColumnBuilder::marker(std::uint32_t code) {
  if (error_) return;
  ++items_;
  Item item;
  item.descriptor = code;
  item.role = ItemRole::Marker;
  item.type = ColumnType::Int64;
  const std::size_t c = resolve(item);
  accept(c, ColumnType::Int64);
  if (columns_[c].values.type == ColumnType::Int64) {
    push_int(columns_[c].values, 0);
  } else {
    push_float(columns_[c].values, 0.0);
  }
}

void ColumnBuilder::column(ValueColumn&& column, const ElementInfo* info,
                           const NumericCoding& coding, const ItemTag& tag) {
  if (error_) return;
  items_ += message_subsets_;
  if (tag.role == ItemRole::Associated) {
    pending_column_ = std::move(column);
    return;
  }
  Item item;
  if (info != nullptr) {
    item = element_item(*info, coding, tag);
  } else {
    item.descriptor = column.descriptor;
    item.role = tag.role;
    item.type = column.kind == ValueColumn::Kind::Text ? ColumnType::Text : ColumnType::Int64;
  }
  const std::size_t c = resolve(item);
  accept(c, item.type);
  append_column(columns_[c].values, column, coding, message_subsets_);
  if (info != nullptr && tag.role != ItemRole::Bitmap) last_element_ = c;
  if (pending_column_ && info != nullptr) {
    ValueColumn associated = std::move(*pending_column_);
    pending_column_.reset();
    Item field;
    field.descriptor = 999999;
    field.role = ItemRole::Associated;
    field.qualifies = static_cast<std::int64_t>(c);
    field.type = ColumnType::Int64;
    const std::size_t a = resolve(field);
    accept(a, ColumnType::Int64);
    append_column(columns_[a].values, associated, NumericCoding{}, message_subsets_);
  }
}

} // namespace morvane::columnar
