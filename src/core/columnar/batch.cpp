#include "batch.hpp"

namespace morvane::columnar {

std::string rank_name(std::uint32_t rank, std::string_view key) {
  std::string name;
  name.reserve(key.size() + 12);
  name.push_back('#');
  name.append(std::to_string(rank));
  name.push_back('#');
  name.append(key);
  return name;
}

std::string Batch::name(const Column& column) const { return rank_name(column.rank, key(column)); }

std::string_view Batch::element_name(const Column& column) const {
  if (column.element == Column::kNoElement) return {};
  const ElementText& text = names->elements[column.element];
  return std::string_view(names->element_text).substr(text.at, text.name_size);
}

std::string_view Batch::unit(const Column& column) const {
  if (column.element == Column::kNoElement) return {};
  const ElementText& text = names->elements[column.element];
  return std::string_view(names->element_text).substr(text.at + text.name_size, text.unit_size);
}

const char* type_name(ColumnType type) {
  switch (type) {
  case ColumnType::Int64: return "int64";
  case ColumnType::Float64: return "float64";
  case ColumnType::Text: return "text";
  }
  return "";
}

const char* role_name(ItemRole role) {
  switch (role) {
  case ItemRole::Element: return "element";
  case ItemRole::Quality: return "quality";
  case ItemRole::Associated: return "associated";
  case ItemRole::Bitmap: return "bitmap";
  case ItemRole::Marker: return "marker";
  case ItemRole::Text: return "text";
  }
  return "";
}

} // namespace morvane::columnar
