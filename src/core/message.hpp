// Framing: finding BUFR messages in a buffer and parsing the sections of one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"

namespace morvane {

using Bytes = std::span<const std::uint8_t>;

struct MessageSlice {
  std::size_t start;
  std::size_t length;
};

struct BufrMessage {
  std::size_t total_length = 0;
  std::uint8_t edition = 4;
  std::size_t section1_length = 0;
  std::uint8_t master_table_number = 0;
  std::uint16_t originating_centre = 0;
  std::uint16_t originating_subcentre = 0;
  std::uint8_t update_sequence_number = 0;
  bool local_section_present = false;
  std::uint8_t data_category = 0;
  std::uint8_t international_data_subcategory = 0;
  std::uint8_t local_data_subcategory = 0;
  std::uint8_t master_tables_version_number = 0;
  std::uint8_t local_tables_version_number = 0;
  std::uint16_t typical_year = 0;
  std::uint8_t typical_month = 0;
  std::uint8_t typical_day = 0;
  std::uint8_t typical_hour = 0;
  std::uint8_t typical_minute = 0;
  std::uint8_t typical_second = 0;
  std::size_t section2_length = 0;
  std::size_t section3_length = 0;
  std::uint16_t number_of_subsets = 0;
  bool observed_data = false;
  bool compressed_data = false;
  std::vector<std::uint32_t> unexpanded_descriptors;
  std::size_t section4_length = 0;
  std::size_t section4_data_offset = 0;
  std::size_t section4_data_length = 0;
};

[[nodiscard]] Result<std::uint32_t> read_section_length(Bytes message, std::size_t position,
                                          std::uint8_t section);
[[nodiscard]] Result<std::uint16_t> read_u16(Bytes message, std::size_t position);

[[nodiscard]] Result<std::vector<MessageSlice>> split_messages(Bytes buffer);
[[nodiscard]] Result<BufrMessage> parse_message(Bytes message);

// The first message of a buffer, as the decode functions select it: a framing
// failure anywhere in the buffer wins; no message at all is MissingMarker.
[[nodiscard]] Result<MessageSlice> first_message(Bytes buffer);

// That first message's bytes, parsed.
struct FirstMessage {
  Bytes bytes;
  BufrMessage record;
};
[[nodiscard]] Result<FirstMessage> select_first_message(Bytes buffer);

// The section 4 data bytes of a parsed message.
inline Bytes section4_data(Bytes message, const BufrMessage& parsed) {
  return message.subspan(parsed.section4_data_offset, parsed.section4_data_length);
}

} // namespace morvane
