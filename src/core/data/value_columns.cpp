#include "value_columns.hpp"

#include "element_values.hpp"

namespace morvane {

std::optional<std::string> ValueColumn::text(std::size_t e) const {
  return decode_ia5_text(text_field(e));
}

DecodedValue column_item(const ValueColumn& column, std::size_t subset) {
  DecodedValue item;
  item.descriptor = column.descriptor;
  item.name = column.name;
  const std::size_t e = column.entry(subset);
  if (column.kind == ValueColumn::Kind::Numeric) {
    item.has_raw = true;
    item.raw = column.raws[e];
    item.has_raw_value = column.present[e] != 0;
    item.raw_value = column.values[e];
    if (!column.meanings.empty()) item.raw_meaning = column.meanings[e];
    return item;
  }
  if (auto text = column.text(e)) item.raw_text = std::make_unique<std::string>(std::move(*text));
  if (column.numbered) {
    item.has_raw_value = true;
    item.raw_value = column.text_number(subset);
  }
  return item;
}

std::vector<DecodedValue> DecodedData::flatten() && {
  if (!compressed) return std::move(values);
  std::vector<DecodedValue> out;
  out.reserve(size());
  for (std::size_t s = 0; s < subsets; ++s) {
    for (const ValueColumn& column : columns) out.push_back(column_item(column, s));
  }
  return out;
}

} // namespace morvane
