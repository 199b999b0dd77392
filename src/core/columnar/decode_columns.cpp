#include "decode_columns.hpp"

#include "../data/decode.hpp"
#include "../data/walk_message.hpp"

namespace morvane::columnar {

Status add_message(ColumnBuilder& builder, const BufrMessage& message, const TableSet& tables,
                   Bytes data_bytes) {
  ElementCatalog& catalog = builder.catalog_for(tables);
  builder.begin_message(message.number_of_subsets, data_bytes.size());
  auto status = walk_message(message, catalog, data_bytes, builder, builder);
  if (!status) return status;
  builder.end_message();
  return builder.status();
}

Status add_first_message(ColumnBuilder& builder, Bytes buffer, const TableSet& tables) {
  auto first = select_first_message(buffer);
  if (!first) return fail(std::move(first.error()));
  return add_message(builder, first->record, tables, section4_data(first->bytes, first->record));
}

std::size_t first_message_subsets(Bytes buffer) {
  auto first = select_first_message(buffer);
  return first ? first->record.number_of_subsets : 0;
}

Result<std::vector<std::size_t>> first_message_subset_starts(Bytes buffer, const TableSet& tables) {
  auto first = select_first_message(buffer);
  if (!first) return fail(std::move(first.error()));
  return decode_subset_starts(first->record, tables, section4_data(first->bytes, first->record));
}

} // namespace morvane::columnar
