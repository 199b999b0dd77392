// The whole decode of a fuzzed message buffer, as the decode functions run it:
// first message, section parsing, then the uncompressed or compressed walk
// against fixed WMO tables.
#include <cstddef>
#include <cstdint>

#include "decode_support.hpp"

using namespace morvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes buffer(data, size);
  auto slice = first_message(buffer);
  if (!slice) return 0;
  const Bytes bytes = buffer.subspan(slice->start, slice->length);
  auto message = parse_message(bytes);
  if (!message) return 0;
  const TableSet& tables = fuzz::tables_for(message->master_tables_version_number);
  auto decoded = decode_data(*message, tables, section4_data(bytes, *message));
  fuzz::consume(decoded);
  if (decoded) fuzz::walk_items(*decoded);
  return 0;
}
