// Table D statements of an ecCodes sequence.def file.
#include <cstddef>
#include <cstdint>

#include "core/tables/eccodes_loader.hpp"
#include "core/tables/expansion.hpp"
#include "fuzz_support.hpp"

using namespace morvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::filesystem::path path = fuzz::scratch_dir() / "sequence.def";
  fuzz::write_file(path, data, size);
  TableSet tables;
  auto loaded = load_eccodes_sequence_def(tables, path);
  fuzz::consume(loaded);
  if (!loaded) return 0;
  // Whatever was defined must expand or fail cleanly, self-references and
  // mutual references included (Table B is empty, so elements fail too).
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (std::uint32_t code : fuzz::sequence_codes_in(text, 64)) {
    const std::uint32_t one[] = {code};
    fuzz::consume(expand(tables, one));
  }
  return 0;
}
