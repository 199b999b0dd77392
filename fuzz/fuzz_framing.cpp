// Message framing: finding messages in a buffer and parsing each one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/message.hpp"
#include "fuzz_support.hpp"

using namespace morvane;

namespace {

// A parsed record must describe only bytes of its own message.
void check_record(const BufrMessage& m, std::size_t size) {
  if (m.total_length != size) std::abort();
  if (m.section4_data_offset > size || m.section4_data_length > size - m.section4_data_offset) {
    std::abort();
  }
  const std::size_t expected = m.section4_length < 4 ? 0 : m.section4_length - 4;
  if (m.section4_data_length != expected) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes buffer(data, size);

  auto whole = parse_message(buffer);
  fuzz::consume(whole);
  if (whole) check_record(*whole, size);

  auto slices = split_messages(buffer);
  fuzz::consume(slices);
  if (slices) {
    std::size_t previous_end = 0;
    for (const MessageSlice& s : *slices) {
      if (s.start < previous_end || s.start > size || s.length > size - s.start) std::abort();
      previous_end = s.start + s.length;
      const Bytes bytes = buffer.subspan(s.start, s.length);
      auto parsed = parse_message(bytes);
      fuzz::consume(parsed);
      if (parsed) {
        check_record(*parsed, bytes.size());
        (void)section4_data(bytes, *parsed);
      }
    }
  }
  fuzz::consume(first_message(buffer));

  // The raw readers at a few positions, the end of the buffer included.
  for (std::size_t pos : {std::size_t{0}, std::size_t{8}, size / 2, size - (size > 0),
                          size, size + 1}) {
    fuzz::consume(read_u16(buffer, pos));
    fuzz::consume(read_section_length(buffer, pos, 3));
  }
  return 0;
}
