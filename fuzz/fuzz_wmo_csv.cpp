// The WMO CSV loader over a directory of one Table B and one Table D file.
// The input holds both texts, Table B first, split at the first line "====".
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "core/tables/expansion.hpp"
#include "core/tables/wmo_csv_loader.hpp"
#include "fuzz_support.hpp"

using namespace morvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path dir = [] {
    std::filesystem::path d = fuzz::scratch_dir() / "wmo";
    std::filesystem::create_directories(d);
    return d;
  }();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  constexpr std::string_view kSplit = "\n====\n";
  const std::size_t at = text.find(kSplit);
  const std::size_t b_size = at == std::string_view::npos ? size : at;
  const std::size_t d_start = at == std::string_view::npos ? size : at + kSplit.size();

  fuzz::write_file(dir / "BUFRCREX_TableB_en_00.csv", data, b_size);
  fuzz::write_file(dir / "BUFR_TableD_en_00.csv", data + d_start, size - d_start);

  auto tables = from_bufr4_45(dir);
  fuzz::consume(tables);
  if (!tables) return 0;
  // A loaded Table D must expand or fail cleanly, loops included.
  for (std::uint32_t code : fuzz::sequence_codes_in(text, 16)) {
    const std::uint32_t one[] = {code};
    fuzz::consume(expand(*tables, one));
  }
  return 0;
}
