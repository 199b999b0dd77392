// A driver for the fuzz targets without libFuzzer: every file named on the
// command line, and every file under a named directory, is read and passed
// to LLVMFuzzerTestOneInput once, in name order. Built with any compiler
// under the sanitizers, it replays a corpus or a crash artifact; a finding
// ends the process through the sanitizer's own report.
//
//   fuzz_decode_replay CORPUS_DIR [FILE...]
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// The files to replay: `path` itself, or the regular files below it.
bool collect(const std::filesystem::path& path, std::vector<std::filesystem::path>& out) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    std::vector<std::filesystem::path> found;
    for (std::filesystem::recursive_directory_iterator it(path, error), end; !error && it != end;
         it.increment(error)) {
      if (it->is_regular_file(error)) found.push_back(it->path());
    }
    std::sort(found.begin(), found.end());
    out.insert(out.end(), found.begin(), found.end());
  } else if (std::filesystem::is_regular_file(path, error)) {
    out.push_back(path);
  } else {
    std::fprintf(stderr, "%s: not a file or directory\n", path.c_str());
    return false;
  }
  if (error) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error.message().c_str());
    return false;
  }
  return true;
}

bool read_all(const std::filesystem::path& path, std::vector<std::uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
    return 2;
  }
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    if (!collect(argv[i], files)) return 2;
  }
  std::vector<std::uint8_t> input;
  for (const auto& file : files) {
    if (!read_all(file, input)) {
      std::fprintf(stderr, "%s: cannot read\n", file.c_str());
      return 2;
    }
    // A heap copy of exactly the input's size, as libFuzzer passes it: a read
    // past its end is caught, and an empty input still has an address.
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[input.size()]);
    std::copy(input.begin(), input.end(), exact.get());
    LLVMFuzzerTestOneInput(exact.get(), input.size());
  }
  std::printf("%s: %zu inputs replayed\n", std::filesystem::path(argv[0]).filename().c_str(),
              files.size());
  return 0;
}
