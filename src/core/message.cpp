#include "message.hpp"

#include <algorithm>
#include <array>

#include "descriptor.hpp"

namespace morvane {

namespace {

constexpr std::array<std::uint8_t, 4> kMarker{'B', 'U', 'F', 'R'};
constexpr std::array<std::uint8_t, 4> kTerminator{'7', '7', '7', '7'};

// Section 1 identification fields sit at fixed positions up to 29, whatever
// the declared section 1 length says.
constexpr std::size_t kSection1FieldsEnd = 30;

// True when [position, position + count) lies inside a buffer of `size`;
// written so that no sum can overflow.
constexpr bool fits(std::size_t size, std::size_t position, std::size_t count) {
  return position <= size && count <= size - position;
}

bool has_marker(Bytes bytes, std::size_t at, const std::array<std::uint8_t, 4>& marker) {
  return fits(bytes.size(), at, 4) && std::equal(marker.begin(), marker.end(), bytes.begin() + at);
}

} // namespace

Result<std::uint32_t> read_section_length(Bytes message, std::size_t position,
                                          std::uint8_t section) {
  if (!fits(message.size(), position, 3)) return fail(BufrError::truncated_section(section, position));
  return (static_cast<std::uint32_t>(message[position]) << 16U) |
         (static_cast<std::uint32_t>(message[position + 1]) << 8U) | message[position + 2];
}

Result<std::uint16_t> read_u16(Bytes message, std::size_t position) {
  if (!fits(message.size(), position, 2)) return fail(BufrError::truncated_section(0, position));
  return static_cast<std::uint16_t>((message[position] << 8U) | message[position + 1]);
}

Result<std::vector<MessageSlice>> split_messages(Bytes buffer) {
  std::vector<MessageSlice> slices;
  const std::size_t n = buffer.size();
  std::size_t cursor = 0;
  while (n - cursor >= 4) {
    const auto it = std::search(buffer.begin() + static_cast<std::ptrdiff_t>(cursor), buffer.end(),
                                kMarker.begin(), kMarker.end());
    if (it == buffer.end()) break;
    const auto start = static_cast<std::size_t>(it - buffer.begin());
    if (!fits(n, start, 8)) return fail(BufrError::too_short());
    const std::size_t length = (static_cast<std::size_t>(buffer[start + 4]) << 16U) |
                               (static_cast<std::size_t>(buffer[start + 5]) << 8U) |
                               buffer[start + 6];
    // A declared length of 0 would keep the scan on this marker for ever.
    if (length == 0) return fail(BufrError::too_short());
    if (!fits(n, start, length)) return fail(BufrError::truncated_section(0, start));
    slices.push_back({start, length});
    cursor = start + length;
  }
  return slices;
}

Result<MessageSlice> first_message(Bytes buffer) {
  auto slices = split_messages(buffer);
  if (!slices) return fail(std::move(slices.error()));
  if (slices->empty()) return fail(BufrError::missing_marker());
  return slices->front();
}

Result<FirstMessage> select_first_message(Bytes buffer) {
  auto slice = first_message(buffer);
  if (!slice) return fail(std::move(slice.error()));
  const Bytes bytes = buffer.subspan(slice->start, slice->length);
  auto record = parse_message(bytes);
  if (!record) return fail(std::move(record.error()));
  return FirstMessage{bytes, std::move(*record)};
}

Result<BufrMessage> parse_message(Bytes m) {
  const std::size_t n = m.size();
  if (n < 8) return fail(BufrError::too_short());
  if (!has_marker(m, 0, kMarker)) return fail(BufrError::missing_marker());
  if (m[7] != 4) return fail(BufrError::unsupported_edition(m[7]));
  const std::size_t declared = (static_cast<std::size_t>(m[4]) << 16U) |
                               (static_cast<std::size_t>(m[5]) << 8U) | m[6];
  if (declared != n) return fail(BufrError::length_mismatch(declared, n));
  if (n <= 10) return fail(BufrError::truncated_section(1, 8));

  BufrMessage msg;
  msg.total_length = n;
  msg.edition = 4;
  auto l1 = read_section_length(m, 8, 1);
  if (!l1) return fail(std::move(l1.error()));
  if (!fits(n, 8, *l1)) return fail(BufrError::truncated_section(1, 8));
  msg.section1_length = *l1;

  // The flag octet and the year sit at fixed positions: a message too short
  // to hold them is a truncated section 1, never a read past its end.
  if (n <= 17) return fail(BufrError::truncated_section(1, 8));
  const std::uint8_t flags1 = m[17];
  auto year = read_u16(m, 23);
  if (!year) return fail(std::move(year.error()));

  const std::size_t p2 = 8 + *l1;
  std::size_t l2 = 0;
  if (flags1 != 0) {
    auto len = read_section_length(m, p2, 2);
    if (!len) return fail(std::move(len.error()));
    if (!fits(n, p2, *len)) return fail(BufrError::truncated_section(2, p2));
    l2 = *len;
  }

  const std::size_t p3 = p2 + l2;
  auto l3 = read_section_length(m, p3, 3);
  if (!l3) return fail(std::move(l3.error()));
  if (!fits(n, p3, *l3) || *l3 < 7) return fail(BufrError::truncated_section(3, p3));
  auto subsets = read_u16(m, p3 + 4);
  if (!subsets) return fail(std::move(subsets.error()));

  // Edition 3 required even section lengths, and many producers still end an
  // odd-length section 3 with one zero padding octet: it is not a descriptor.
  std::size_t descriptor_bytes = *l3 - 7;
  if (descriptor_bytes % 2 != 0) {
    if (m[p3 + *l3 - 1] != 0) return fail(BufrError::odd_descriptor_area());
    descriptor_bytes -= 1;
  }
  const std::uint8_t flags3 = m[p3 + 6];
  msg.observed_data = (flags3 & 0x80U) != 0;
  msg.compressed_data = (flags3 & 0x40U) != 0;
  msg.unexpanded_descriptors.reserve(descriptor_bytes / 2);
  for (std::size_t i = 0; i < descriptor_bytes; i += 2) {
    msg.unexpanded_descriptors.push_back(code_from_packed(m[p3 + 7 + i], m[p3 + 8 + i]));
  }

  const std::size_t p4 = p3 + *l3;
  auto l4 = read_section_length(m, p4, 4);
  if (!l4) return fail(std::move(l4.error()));
  if (!fits(n, p4, *l4)) return fail(BufrError::truncated_section(4, p4));
  const std::size_t p5 = p4 + *l4;
  if (!fits(n, p5, 4)) return fail(BufrError::truncated_section(5, p5));
  if (!has_marker(m, p5, kTerminator)) return fail(BufrError::bad_terminator());

  // A section 1 shorter than its standard 22 octets can let a message pass
  // every section check and still be too short for the fixed fields.
  if (n < kSection1FieldsEnd) return fail(BufrError::truncated_section(1, 8));
  msg.master_table_number = m[11];
  msg.originating_centre = static_cast<std::uint16_t>((m[12] << 8U) | m[13]);
  msg.originating_subcentre = static_cast<std::uint16_t>((m[14] << 8U) | m[15]);
  msg.update_sequence_number = m[16];
  msg.local_section_present = flags1 != 0;
  msg.data_category = m[18];
  msg.international_data_subcategory = m[19];
  msg.local_data_subcategory = m[20];
  msg.master_tables_version_number = m[21];
  msg.local_tables_version_number = m[22];
  msg.typical_year = *year;
  msg.typical_month = m[25];
  msg.typical_day = m[26];
  msg.typical_hour = m[27];
  msg.typical_minute = m[28];
  msg.typical_second = m[29];
  msg.section2_length = l2;
  msg.section3_length = *l3;
  msg.number_of_subsets = *subsets;
  msg.section4_length = *l4;
  msg.section4_data_offset = p4 + 4;
  msg.section4_data_length = *l4 >= 4 ? *l4 - 4 : 0;
  return msg;
}

} // namespace morvane
