// Code and flag table files of an ecCodes codetables directory. The first
// input byte picks one of a few file names so that the stem parsing is
// reached too; the rest is the file's text.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "core/tables/eccodes_loader.hpp"
#include "fuzz_support.hpp"

using namespace morvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const char* const kNames[] = {"1003.table", "001003.table", "020012.table",
                                       ".table",     "notes.table",  "8042.table.table"};
  static const std::filesystem::path dir = [] {
    std::filesystem::path d = fuzz::scratch_dir() / "codetables";
    std::filesystem::create_directories(d);
    return d;
  }();
  if (size == 0) return 0;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
    std::filesystem::remove(entry.path(), ignored);
  }
  const char* name = kNames[data[0] % (sizeof kNames / sizeof kNames[0])];
  fuzz::write_file(dir / name, data + 1, size - 1);

  TableSet tables;
  fuzz::consume(load_eccodes_code_tables(tables, dir));
  return 0;
}
