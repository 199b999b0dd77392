// Output of the compressed walk: one column per element, factor, associated
// field, marker or inserted text, holding the values of all subsets in
// contiguous arrays. Items are materialised subset by subset only when
// handed out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "decoded_value.hpp"

namespace morvane {

struct ValueColumn {
  enum class Kind : std::uint8_t { Numeric, Text };

  Kind kind = Kind::Numeric;
  // NBINC 0 (and markers): one entry stands for every subset.
  bool constant = false;
  // Character elements carry a text reference number; inserted text does not.
  bool numbered = false;
  std::uint32_t descriptor = 0;
  const std::string* name = nullptr;

  // Numeric columns, one entry per subset (or one when constant).
  std::vector<std::uint64_t> raws;
  std::vector<double> values;
  std::vector<std::uint8_t> present;              // has raw_value
  std::vector<const std::string*> meanings;       // empty when the element has no code table

  // Text columns: each entry's field as read, `text_octets` octets apiece,
  // turned into text only when asked for (most consumers copy it anyway).
  std::vector<std::uint8_t> text_fields;
  std::size_t text_octets = 0;
  double text_base = 0.0;         // n * k of the numbering
  double text_width_bytes = 0.0;  // width div 8

  [[nodiscard]] std::size_t entry(std::size_t subset) const { return constant ? 0 : subset; }

  [[nodiscard]] std::span<const std::uint8_t> text_field(std::size_t e) const {
    return {text_fields.data() + e * text_octets, text_octets};
  }
  // The text of entry `e`, nullopt when missing (all bits set).
  [[nodiscard]] std::optional<std::string> text(std::size_t e) const;

  // Text reference number of a character item: (n * k + s + 1) * 1000 + width div 8.
  [[nodiscard]] double text_number(std::size_t subset) const {
    return (text_base + static_cast<double>(subset) + 1.0) * 1000.0 + text_width_bytes;
  }
};

// The item of one subset of a column.
DecodedValue column_item(const ValueColumn& column, std::size_t subset);

// Everything a decode produced, in the shape its walk made it.
struct DecodedData {
  bool compressed = false;
  std::vector<DecodedValue> values;   // uncompressed: every item in order
  std::vector<ValueColumn> columns;   // compressed: in walk order
  std::size_t subsets = 0;            // compressed: items per column

  [[nodiscard]] std::size_t size() const {
    return compressed ? columns.size() * subsets : values.size();
  }
  // Flat list in subset order (the compressed columns regrouped).
  [[nodiscard]] std::vector<DecodedValue> flatten() &&;
};

} // namespace morvane
