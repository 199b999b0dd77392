// Shared plumbing of the fuzz targets: a private scratch directory for the
// loaders that only read from files, and the location of the test tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>
#include <system_error>

#include "core/error.hpp"

namespace fuzz {

// One directory per process, removed at exit; in /dev/shm when there is one
// so that the per-input file writes stay in memory.
inline const std::filesystem::path& scratch_dir() {
  static const std::filesystem::path dir = [] {
    std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    pattern += "/morvane-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    std::filesystem::path made(pattern);
    static const std::filesystem::path removed_at_exit = made;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(removed_at_exit, ignored);
    });
    return made;
  }();
  return dir;
}

inline void write_file(const std::filesystem::path& path, const std::uint8_t* data,
                       std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::perror(path.c_str());
    std::abort();
  }
  if (size != 0 && std::fwrite(data, 1, size, f) != size) {
    std::perror(path.c_str());
    std::abort();
  }
  std::fclose(f);
}

// Where the test data lives: MORVANE_SHARED_DATA in the environment, else the
// folder named at configure time.
inline std::filesystem::path shared_data() {
  if (const char* env = std::getenv("MORVANE_SHARED_DATA"); env != nullptr && *env != '\0') {
    return env;
  }
  return MORVANE_SHARED_DATA;
}

// Every error must be printable; building the text exercises the formatting
// of the fields a hostile input put into it.
template <class Expected> void consume(const Expected& result) {
  if (!result) {
    const std::string text = result.error().message();
    if (text.empty()) std::abort();
  }
}

// Sequence codes (3xxyyy) written as digit runs in a table text: the codes a
// fuzzed Table D most likely defines, found without scanning the code space.
inline std::vector<std::uint32_t> sequence_codes_in(std::string_view text, std::size_t limit) {
  std::vector<std::uint32_t> codes;
  std::size_t i = 0;
  while (i < text.size() && codes.size() < limit) {
    if (text[i] < '0' || text[i] > '9') {
      ++i;
      continue;
    }
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
      if (value < 1000000) value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    if (digits <= 6 && value >= 300000 && value < 400000) {
      codes.push_back(static_cast<std::uint32_t>(value));
    }
  }
  return codes;
}

} // namespace fuzz
