// The fixed tables of the decode targets, loaded once at start, and a pass
// over every decoded item the way the Python layer hands them out.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/data/decode.hpp"
#include "core/tables/eccodes_loader.hpp"
#include "fuzz_support.hpp"

namespace fuzz {

inline morvane::TableSet load_wmo_tables(const char* version) {
  const auto dir = shared_data() / "tables" / "eccodes" / "bufr" / "tables" / "0" / "wmo" / version;
  auto tables = morvane::from_eccodes_dir(dir);
  if (!tables) {
    std::fprintf(stderr, "cannot load %s: %s\n(set MORVANE_SHARED_DATA to the test data folder)\n",
                 dir.c_str(), tables.error().message().c_str());
    std::exit(1);
  }
  return std::move(*tables);
}

// Version 13 for old messages, 39 for the rest, as a caller with one table
// set per version would pick.
inline const morvane::TableSet& tables_for(unsigned master_version) {
  static const morvane::TableSet v13 = load_wmo_tables("13");
  static const morvane::TableSet v39 = load_wmo_tables("39");
  return master_version <= 13 ? v13 : v39;
}

// Touches every field of every item so that a dangling name or meaning
// pointer, or an out-of-range column entry, is caught where it is made.
inline void walk_items(const morvane::DecodedData& data) {
  std::size_t sum = 0;
  auto touch = [&sum](const morvane::DecodedValue& v) {
    sum += v.descriptor + (v.has_raw_value ? 1U : 0U) + static_cast<std::size_t>(v.raw);
    if (v.name != nullptr) sum += v.name->size();
    if (v.raw_meaning != nullptr) sum += v.raw_meaning->size();
    if (v.raw_text) sum += v.raw_text->size();
  };
  if (data.compressed) {
    for (std::size_t s = 0; s < data.subsets; ++s) {
      for (const auto& column : data.columns) touch(morvane::column_item(column, s));
    }
  } else {
    for (const auto& v : data.values) touch(v);
  }
  if (sum == 1) std::fputc(0, stderr);  // keeps the reads from being optimised away
}

} // namespace fuzz
