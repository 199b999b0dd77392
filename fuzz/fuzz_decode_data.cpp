// The data walks with the framing taken out of the way: the input is a small
// header followed by section 4 data, so mutations land on descriptors, flags
// and data bits instead of length fields.
//
//   octet 0      flags of section 3 (0x40 compressed, 0x80 observed)
//   octet 1      master tables version (selects the fixed table set)
//   octets 2-3   number of subsets, big-endian
//   octet 4      number of descriptors n
//   2n octets    descriptors in their packed section 3 form
//   the rest     section 4 data
#include <cstddef>
#include <cstdint>

#include "core/tables/expansion.hpp"
#include "decode_support.hpp"

using namespace morvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const std::size_t n = data[4];
  if (size < 5 + 2 * n) return 0;

  BufrMessage message;
  message.observed_data = (data[0] & 0x80U) != 0;
  message.compressed_data = (data[0] & 0x40U) != 0;
  message.master_tables_version_number = data[1];
  message.number_of_subsets = static_cast<std::uint16_t>((data[2] << 8U) | data[3]);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t a = data[5 + 2 * i];
    const std::uint8_t b = data[6 + 2 * i];
    message.unexpanded_descriptors.push_back((a >> 6U) * 100000U + (a & 0x3FU) * 1000U + b);
  }
  const Bytes section4(data + 5 + 2 * n, size - 5 - 2 * n);
  message.section4_data_length = section4.size();

  const TableSet& tables = fuzz::tables_for(message.master_tables_version_number);
  fuzz::consume(expand(tables, message.unexpanded_descriptors));
  auto decoded = decode_data(message, tables, section4);
  fuzz::consume(decoded);
  if (decoded) fuzz::walk_items(*decoded);
  return 0;
}
