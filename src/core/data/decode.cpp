#include "decode.hpp"

#include <algorithm>

#include "walk_message.hpp"

namespace morvane {


Result<DecodedData> decode_data(const BufrMessage& message, const TableSet& tables,
                                Bytes data_bytes) {
  DecodedData data;
  data.compressed = message.compressed_data;
  data.subsets = message.compressed_data ? message.number_of_subsets : 0;
  if (!message.compressed_data) {
    // Real messages hold roughly one value per 8 to 16 bits of data.
    data.values.reserve(std::min<std::size_t>(data_bytes.size() * 8 / 12 + 16, std::size_t{1} << 20));
  }
  RecordSink records(data.values);
  ValueColumnSink columns(data.columns);
  auto status = walk_message(message, tables, data_bytes, records, columns);
  if (!status) return fail(std::move(status.error()));
  return data;
}

Result<std::vector<DecodedValue>> decode_uncompressed_values(const BufrMessage& message,
                                                             const TableSet& tables,
                                                             Bytes data_bytes) {
  auto data = decode_data(message, tables, data_bytes);
  if (!data) return fail(std::move(data.error()));
  return std::move(*data).flatten();
}

Result<std::vector<std::size_t>> decode_subset_starts(const BufrMessage& message,
                                                      const TableSet& tables, Bytes data_bytes) {
  std::vector<std::size_t> starts;
  SubsetStartSink sink(starts);
  auto status = walk_message(message, tables, data_bytes, sink, sink);
  if (!status) return fail(std::move(status.error()));
  if (message.compressed_data) {
    // Every column holds one item of each subset.
    const std::size_t per_subset = sink.items();
    starts.resize(message.number_of_subsets);
    for (std::size_t s = 0; s < starts.size(); ++s) starts[s] = s * per_subset;
  }
  return starts;
}

} // namespace morvane
