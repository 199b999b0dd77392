#include "decode.hpp"

namespace morvane {

// Defined by the two walks.
Result<std::vector<DecodedValue>> decode_uncompressed_subsets(const BufrMessage& message,
                                                              WalkContext& context);
Result<DecodedData> decode_compressed_message(const BufrMessage& message, WalkContext& context);

Result<DecodedData> decode_data(const BufrMessage& message, const TableSet& tables,
                                Bytes data_bytes) {
  BitReader reader(data_bytes.data(), data_bytes.size());
  ElementCatalog catalog(tables);
  WorkBudget budget(reader.capacity());
  WalkContext context{catalog, reader, budget};
  if (message.compressed_data) return decode_compressed_message(message, context);
  auto values = decode_uncompressed_subsets(message, context);
  if (!values) return fail(std::move(values.error()));
  DecodedData data;
  data.values = std::move(*values);
  return data;
}

Result<std::vector<DecodedValue>> decode_uncompressed_values(const BufrMessage& message,
                                                             const TableSet& tables,
                                                             Bytes data_bytes) {
  auto data = decode_data(message, tables, data_bytes);
  if (!data) return fail(std::move(data.error()));
  return std::move(*data).flatten();
}

} // namespace morvane
