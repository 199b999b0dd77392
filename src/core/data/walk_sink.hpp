// Where the walks put what they read. Both walks are templates over their
// output ("sink"), so the list of records the Python items are made from and
// the columns of morvane._columnar come from the same walk, each without the
// other's costs.
//
// An uncompressed sink has
//   void begin_subset();
//   void numeric(const ElementInfo&, const NumericCoding&, uint64_t raw, bool present,
//                double value, const ItemTag&);
//   void text(const ElementInfo&, uint16_t width, uint64_t text_counter,
//             span<const uint8_t> bytes, const ItemTag&);
//   void associated(uint8_t width, uint64_t raw);
//   void inserted_text(uint32_t code, span<const uint8_t> bytes);
//   void marker(uint32_t code);
//   void remember();   // the element just given joined the descriptor history
// and a compressed sink
//   static constexpr bool kMeanings;   // wants code-table meanings per value
//   static constexpr bool kValues;     // wants every subset's value, not only raws
//   void column(ValueColumn&&, const ElementInfo* (null for items without Table B entry),
//               const NumericCoding&, const ItemTag&);
//   void remember();
// and may choose which items' values it takes:
//   bool wants(const ElementInfo* (null as above), const ItemTag&);
//   void skipped(const ElementInfo&, const NumericCoding&, const ItemTag&);  // an element declined
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "decoded_value.hpp"
#include "element_catalog.hpp"
#include "element_values.hpp"
#include "value_columns.hpp"

namespace morvane {

enum class ItemRole : std::uint8_t { Element, Quality, Associated, Bitmap, Marker, Text };

inline constexpr std::size_t kNoLink = static_cast<std::size_t>(-1);

// What an item is besides its value: a quality value qualifies an earlier
// element (an index into the subset's descriptor history), `reread` is the X
// of the 2-23/2-24/2-25/2-32-255 operator that re-read it (0 otherwise).
struct ItemTag {
  ItemRole role = ItemRole::Element;
  std::size_t qualifies = kNoLink;
  std::uint8_t reread = 0;
};

// The tags of most items, passed by reference without being built each time.
inline constexpr ItemTag kElementTag{};
inline constexpr ItemTag kBitmapTag{ItemRole::Bitmap};

// The records the Python items are made of, exactly as before the sinks.
class RecordSink {
public:
  explicit RecordSink(std::vector<DecodedValue>& out) : out_(out) {}

  void begin_subset() {}
  void remember() {}

  void numeric(const ElementInfo& info, const NumericCoding&, std::uint64_t raw, bool present,
               double value, const ItemTag&) {
    DecodedValue& item = out_.emplace_back();
    item.descriptor = info.definition->code;
    item.name = &info.definition->name;
    item.has_raw = true;
    item.raw = raw;
    if (info.code_table != nullptr) {
      auto it = info.code_table->find(raw);
      if (it != info.code_table->end()) item.raw_meaning = &it->second;
    }
    item.has_raw_value = present;
    if (present) item.raw_value = value;
  }

  void text(const ElementInfo& info, std::uint16_t width, std::uint64_t text_counter,
            std::span<const std::uint8_t> bytes, const ItemTag&) {
    DecodedValue& item = out_.emplace_back();
    item.descriptor = info.definition->code;
    item.name = &info.definition->name;
    item.has_raw_value = true;
    item.raw_value = static_cast<double>(text_counter) * 1000.0 + static_cast<double>(width / 8U);
    item.raw_text = ia5_text_item(bytes);
  }

  void associated(std::uint8_t, std::uint64_t raw) {
    DecodedValue& item = out_.emplace_back();
    item.descriptor = 999999;
    item.name = &associated_field_name();
    item.has_raw_value = true;
    item.raw_value = static_cast<double>(raw);
    item.has_raw = true;
    item.raw = raw;
  }

  void inserted_text(std::uint32_t code, std::span<const std::uint8_t> bytes) {
    DecodedValue& item = out_.emplace_back();
    item.descriptor = code;
    item.name = &inserted_text_name();
    item.raw_text = ia5_text_item(bytes);
  }

  void marker(std::uint32_t code) { out_.push_back(operator_marker(code)); }

private:
  std::vector<DecodedValue>& out_;
};

// The compressed walk's own columns, as the Python items are made from them.
class ValueColumnSink {
public:
  static constexpr bool kMeanings = true;
  static constexpr bool kValues = true;
  explicit ValueColumnSink(std::vector<ValueColumn>& out) : out_(out) {}
  void column(ValueColumn&& column, const ElementInfo*, const NumericCoding&, const ItemTag&) {
    out_.push_back(std::move(column));
  }
  void remember() {}

private:
  std::vector<ValueColumn>& out_;
};

// Counts items only: where each subset starts in the flat list of records.
class SubsetStartSink {
public:
  static constexpr bool kMeanings = false;
  static constexpr bool kValues = false;
  explicit SubsetStartSink(std::vector<std::size_t>& starts) : starts_(starts) {}

  void begin_subset() { starts_.push_back(items_); }
  void remember() {}
  void numeric(const ElementInfo&, const NumericCoding&, std::uint64_t, bool, double,
               const ItemTag&) {
    ++items_;
  }
  void text(const ElementInfo&, std::uint16_t, std::uint64_t, std::span<const std::uint8_t>,
            const ItemTag&) {
    ++items_;
  }
  void associated(std::uint8_t, std::uint64_t) { ++items_; }
  void inserted_text(std::uint32_t, std::span<const std::uint8_t>) { ++items_; }
  void marker(std::uint32_t) { ++items_; }
  void column(ValueColumn&&, const ElementInfo*, const NumericCoding&, const ItemTag&) { ++items_; }

  [[nodiscard]] std::size_t items() const { return items_; }

private:
  std::vector<std::size_t>& starts_;
  std::size_t items_ = 0;
};

} // namespace morvane
