// The delimited-record reader in both of its configurations: ecCodes
// element.table ('|', '#' comments, no header) and WMO CSV (',', header row).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/tables/record_reader.hpp"
#include "core/tables/text_scan.hpp"
#include "fuzz_support.hpp"

using namespace morvane;

namespace {

void read_all(const std::filesystem::path& path, RecordDialect dialect, std::size_t size) {
  auto reader = RecordReader::open(path, dialect);
  fuzz::consume(reader);
  if (!reader) return;
  std::size_t fields = 0;
  std::uint64_t last_byte = 0;
  std::uint64_t last_index = 0;
  for (std::uint64_t n = 0;; ++n) {
    auto more = reader->next();
    fuzz::consume(more);
    if (!more || !*more) return;
    // Returned records are valid UTF-8, have the first record's field count
    // and start at increasing offsets inside the file.
    if (n == 0) fields = reader->size();
    if (reader->size() != fields || fields == 0) std::abort();
    std::size_t total = 0;
    for (std::size_t i = 0; i < reader->size(); ++i) {
      const std::string_view f = reader->field(i);
      if (utf8_invalid_at(f) != std::string_view::npos) std::abort();
      total += f.size();
    }
    if (total > size) std::abort();
    if (reader->record_byte() >= size) std::abort();
    if (n > 0 && (reader->record_byte() <= last_byte || reader->record_index() <= last_index)) {
      std::abort();
    }
    last_byte = reader->record_byte();
    last_index = reader->record_index();
    if (n > size) std::abort();  // more records than bytes: the reader is not advancing
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::filesystem::path path = fuzz::scratch_dir() / "records.txt";
  fuzz::write_file(path, data, size);
  read_all(path, kElementTableDialect, size);
  read_all(path, kWmoCsvDialect, size);
  return 0;
}
