#include "item_arrays.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "../data/walk_message.hpp"

namespace morvane::columnar {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Text as the Python items give it, with trailing NUL and blanks gone too.
std::optional<std::string> item_text(std::span<const std::uint8_t> bytes) {
  auto text = decode_ia5_text(bytes);
  if (text) {
    std::size_t end = text->size();
    while (end > 0 && ((*text)[end - 1] == '\0' || (*text)[end - 1] == ' ')) --end;
    text->resize(end);
  }
  return text;
}

class ItemSink {
public:
  static constexpr bool kMeanings = false;
  static constexpr bool kValues = true;

  explicit ItemSink(ItemArrays& out) : out_(out) {}

  void begin_subset() {
    if (started_) out_.subset_starts.push_back(out_.codes.size());
    started_ = true;
  }
  void remember() {}

  void numeric(const ElementInfo& info, const NumericCoding&, std::uint64_t, bool present,
               double value, const ItemTag&) {
    add(info.definition->code, present ? value : kNaN, present);
  }
  void text(const ElementInfo& info, std::uint16_t, std::uint64_t,
            std::span<const std::uint8_t> bytes, const ItemTag&) {
    add_text(info.definition->code, item_text(bytes));
  }
  void associated(std::uint8_t, std::uint64_t raw) {
    add(kAssociatedFieldCode, static_cast<double>(raw), true);
  }
  void inserted_text(std::uint32_t code, std::span<const std::uint8_t>) { add(code, kNaN, false); }
  void marker(std::uint32_t code) { add(code, kNaN, false); }

  // Compressed data: columns first, items in subset order at the end.
  void column(ValueColumn&& column, const ElementInfo*, const NumericCoding&, const ItemTag&) {
    columns_.push_back(std::move(column));
  }

  void finish_subset() {
    if (started_) out_.subset_starts.push_back(out_.codes.size());
  }

  void finish_columns(std::size_t subsets) {
    for (std::size_t s = 0; s < subsets; ++s) {
      for (const ValueColumn& column : columns_) {
        const std::size_t at = column.entry(s);
        if (column.kind == ValueColumn::Kind::Text) {
          if (!column.numbered) {
            add(column.descriptor, kNaN, false);
            continue;
          }
          std::optional<std::string> text;
          if (at * column.text_octets < column.text_fields.size()) text = column.text(at);
          if (text) {
            std::size_t end = text->size();
            while (end > 0 && ((*text)[end - 1] == '\0' || (*text)[end - 1] == ' ')) --end;
            text->resize(end);
          }
          add_text(column.descriptor, std::move(text));
        } else if (at < column.values.size() && at < column.present.size() && column.present[at]) {
          add(column.descriptor, column.values[at], true);
        } else {
          add(column.descriptor, kNaN, false);
        }
      }
      out_.subset_starts.push_back(out_.codes.size());
    }
  }

private:
  void add(std::uint32_t code, double value, bool present) {
    out_.codes.push_back(code);
    out_.values.push_back(value);
    out_.present.push_back(present ? 1 : 0);
  }
  void add_text(std::uint32_t code, std::optional<std::string> text) {
    const double number = static_cast<double>(out_.text_starts.size() - 1);
    if (text) out_.text += *text;
    out_.text_starts.push_back(out_.text.size());
    add(code, number, text.has_value());
  }

  ItemArrays& out_;
  std::vector<ValueColumn> columns_;
  bool started_ = false;
};

// Room for about one item per octet of data (what observations come to),
// growing geometrically so that many small messages stay linear.
template <class T> void make_room(std::vector<T>& values, std::size_t more) {
  const std::size_t needed = values.size() + more;
  if (needed > values.capacity()) values.reserve(std::max(needed, values.capacity() * 2));
}

} // namespace

void ItemArrays::rollback(const Mark& mark) {
  codes.resize(mark.items);
  values.resize(mark.items);
  present.resize(mark.items);
  subset_starts.resize(mark.subsets);
  text_starts.resize(mark.texts);
  text.resize(mark.text_bytes);
}

Status add_message_items(ItemArrays& items, Bytes buffer, const TableSet& tables,
                         CatalogCache& catalogs) {
  const ItemArrays::Mark mark = items.mark();
  auto first = select_first_message(buffer);
  if (!first) return fail(std::move(first.error()));
  const BufrMessage& message = first->record;
  const Bytes data = section4_data(first->bytes, message);
  make_room(items.codes, data.size());
  make_room(items.values, data.size());
  make_room(items.present, data.size());
  ItemSink sink(items);
  auto status = walk_message(message, catalogs.for_tables(tables), data, sink, sink);
  if (!status) {
    items.rollback(mark);
    return status;
  }
  if (message.compressed_data) {
    sink.finish_columns(message.number_of_subsets);
  } else {
    sink.finish_subset();
  }
  return {};
}

void end_message_items(ItemArrays& items) {
  items.message_starts.push_back(items.subset_starts.size() - 1);
}

} // namespace morvane::columnar
