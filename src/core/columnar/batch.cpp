#include "batch.hpp"

namespace morvane::columnar {

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
