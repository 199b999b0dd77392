// A fuzzed message buffer into columns, as morvane._columnar decodes it: the
// column builder's alignment of unlike subsets, its typing and the quality
// links, plus the subset starts that split the object path. Every column must
// come out with one entry per row, however the message lies.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/columnar/decode_columns.hpp"
#include "decode_support.hpp"

using namespace morvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes buffer(data, size);
  auto slice = first_message(buffer);
  if (!slice) return 0;
  auto message = parse_message(buffer.subspan(slice->start, slice->length));
  if (!message) return 0;
  const TableSet& tables = fuzz::tables_for(message->master_tables_version_number);
  // Asked for two keys, compressed columns of others are skipped over: the
  // decoded ones still have every row, the skipped none.
  columnar::ColumnBuilder chosen;
  chosen.select_keys({"latitude", "airTemperature"});
  if (columnar::add_first_message(chosen, buffer, tables)) {
    const columnar::Batch some = std::move(chosen).finish();
    for (const columnar::Column& column : some.columns) {
      if (column.role != ItemRole::Element ||
          column.values.rows() != (column.decoded ? some.rows : 0)) {
        std::abort();
      }
    }
  }
  columnar::ColumnBuilder builder;
  builder.expect_rows(columnar::first_message_subsets(buffer));
  if (!columnar::add_first_message(builder, buffer, tables)) return 0;
  const columnar::Batch batch = std::move(builder).finish();
  for (const columnar::Column& column : batch.columns) {
    const columnar::ColumnValues& v = column.values;
    const bool text = v.type == columnar::ColumnType::Text;
    if (v.rows() != batch.rows || (!text && v.words.size() != batch.rows) ||
        (text && (v.offsets().size() != batch.rows + 1 ||
                  static_cast<std::size_t>(v.offsets().back()) != v.chars().size())) ||
        column.qualifies >= static_cast<std::int64_t>(batch.columns.size())) {
      std::abort();
    }
  }
  auto starts = columnar::first_message_subset_starts(buffer, tables);
  if (starts && starts->size() != message->number_of_subsets) std::abort();
  return 0;
}
