// One message through the walk that fits it, into the given sinks.
#pragma once

#include "../message.hpp"
#include "../tables/table_set.hpp"
#include "compressed_walk.hpp"
#include "uncompressed_walk.hpp"

namespace morvane {

// Runs the walk that fits the message with `sink` (an uncompressed and a
// compressed sink may be the same object), its elements looked up in
// `catalog`, which may serve many messages of one table set.
template <class UncompressedSink, class CompressedSink>
[[nodiscard]] Status walk_message(const BufrMessage& message, ElementCatalog& catalog,
                                  Bytes data_bytes, UncompressedSink& uncompressed,
                                  CompressedSink& compressed) {
  BitReader reader(data_bytes.data(), data_bytes.size());
  WorkBudget budget(reader.capacity());
  WalkContext context{catalog, reader, budget};
  if (message.compressed_data) {
    ValueCodingState state;
    CompressedWalk<CompressedSink> walk(context, state, compressed, message.number_of_subsets);
    return walk.walk(message.unexpanded_descriptors, 0);
  }
  UncompressedWalk<UncompressedSink> walk(context, uncompressed);
  return walk.subsets(message);
}

template <class UncompressedSink, class CompressedSink>
[[nodiscard]] Status walk_message(const BufrMessage& message, const TableSet& tables, Bytes data_bytes,
                                  UncompressedSink& uncompressed, CompressedSink& compressed) {
  ElementCatalog catalog(tables);
  return walk_message(message, catalog, data_bytes, uncompressed, compressed);
}

} // namespace morvane
