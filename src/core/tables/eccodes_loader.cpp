#include "eccodes_loader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../descriptor.hpp"
#include "number_text.hpp"
#include "record_reader.hpp"
#include "text_scan.hpp"

namespace morvane {

namespace fs = std::filesystem;

namespace {

// An alias chain longer than this is treated like a loop even if every path
// differs (it cannot, as aliases stay in one directory, but stay bounded).
constexpr std::size_t kMaxAliasChain = 64;

enum class Kind { Missing, Directory, Regular, Other };

Kind kind_of(const fs::path& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return Kind::Missing;
  if (S_ISDIR(st.st_mode)) return Kind::Directory;
  if (S_ISREG(st.st_mode)) return Kind::Regular;
  return Kind::Other;
}

bool path_exists(const fs::path& path) { return kind_of(path) != Kind::Missing; }

// Directory listing shared by matching_files and the code-table loader, which
// keeps the directory open to read its files relative to it.
class DirectoryListing {
public:
  ~DirectoryListing() {
    if (dir_ != nullptr) ::closedir(dir_);
  }

  Status open(const fs::path& path) {
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(BufrError::io(os_error_detail(errno)));
    dir_ = ::fdopendir(fd);
    if (dir_ == nullptr) {
      const int err = errno;
      ::close(fd);
      return fail(BufrError::io(os_error_detail(err)));
    }
    return {};
  }

  [[nodiscard]] int fd() const { return ::dirfd(dir_); }

  // Names that start with prefix and end with suffix, in ascending byte order.
  Result<std::vector<std::string>> names(std::string_view prefix, std::string_view suffix) {
    std::vector<std::string> out;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir_);
      if (entry == nullptr) {
        if (errno != 0) return fail(BufrError::io(os_error_detail(errno)));
        break;
      }
      const std::string_view name(entry->d_name);
      if (name == "." || name == "..") continue;
      if (utf8_invalid_at(name) == std::string_view::npos) {
        if (!name.starts_with(prefix) || !name.ends_with(suffix)) continue;
      } else {
        const std::string text = utf8_lossy(name);
        if (!text.starts_with(prefix) || !text.ends_with(suffix)) continue;
      }
      out.emplace_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

private:
  DIR* dir_ = nullptr;
};

// A file name without its last extension, as a dotted name keeps whole
// (".table" is its own stem).
std::string_view file_stem(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name;
  return name.substr(0, dot);
}

// The meaning of a code-table line: the tokens after the first two joined by
// single blanks. `rest` is the trimmed text after the second token; most lines
// are already single-blank separated and are taken as they are.
void join_tokens(std::string_view rest, std::string& out) {
  bool plain = true;
  const std::size_t n = rest.size();
  std::size_t i = 0;
  while (i < n) {
    // Eight printable ASCII bytes at a time: no byte below 0x21 or above 0x7F.
    if (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, rest.data() + i, 8);
      constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
      constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
      if ((((w - kOnes * 0x21U) & ~w) | w) & kHigh) {
        // fall through to the byte loop for this word
      } else {
        i += 8;
        continue;
      }
    }
    const auto c = static_cast<unsigned char>(rest[i]);
    if (c > 0x20U && c < 0x80U) {
      ++i;
      continue;
    }
    // `rest` is trimmed, so a blank is never its last byte.
    if (c == 0x20U ? rest[i + 1] == ' ' : unicode_space_at(rest, i) != 0) {
      plain = false;
      break;
    }
    ++i;
  }
  if (plain) {
    out.assign(rest);
    return;
  }
  out.clear();
  for (std::string_view token = next_token(rest); !token.empty(); token = next_token(rest)) {
    if (!out.empty()) out.push_back(' ');
    out.append(token);
  }
}

Status load_code_table_text(std::string_view text, CodeTable& table) {
  // About 32 bytes per line in practice; the map grows if needed.
  table.reserve(text.size() / 32 + 1);
  Status status;
  std::string meaning;
  for_each_line(text, [&](std::string_view raw_line) {
    if (!status) return;
    std::string_view line = trim_space(raw_line);
    if (line.empty() || line.front() == '#') return;
    const std::string_view key = next_token(line);
    const std::string_view second = next_token(line);
    if (second.empty()) return;
    const std::string_view rest = trim_space(line);
    if (rest.empty()) return;
    std::string_view reason;
    auto raw = table_u64(key, reason);
    if (!raw) {
      status = fail(BufrError::parse("bad code table key " + quoted(key) + ": " +
                                     std::string(reason)));
      return;
    }
    join_tokens(rest, meaning);
    table.insert_or_assign(*raw, meaning);
  });
  return status;
}

Status load_sequence_statement(TableSet& tables, std::string_view statement) {
  const std::size_t eq = statement.find('=');
  if (eq == std::string_view::npos) return {};
  std::string_view key = trim_space(statement.substr(0, eq));
  while (!key.empty() && key.front() == '"') key.remove_prefix(1);
  while (!key.empty() && key.back() == '"') key.remove_suffix(1);
  auto code = table_code(key);
  if (!code) return fail(std::move(code.error()));

  const std::string_view body = statement.substr(eq + 1);
  const std::size_t open = body.find('[');
  const std::size_t close = body.find(']');
  // A "]" before the "[" leaves no member list: rejected like a missing bracket.
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return fail(BufrError::parse(std::string(statement)));
  }
  std::string_view list = body.substr(open + 1, close - open - 1);

  SequenceDefinition definition;
  definition.code = *code;
  definition.members.reserve(static_cast<std::size_t>(std::count(list.begin(), list.end(), ',')) +
                             1);
  while (true) {
    const std::size_t comma = list.find(',');
    const std::string_view piece = trim_space(list.substr(0, comma));
    if (!piece.empty()) {
      auto member = table_code(piece);
      if (!member) return fail(std::move(member.error()));
      definition.members.push_back(*member);
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  tables.insert_sequence(std::move(definition));
  return {};
}

Status load_table_dir(TableSet& tables, const fs::path& dir) {
  if (auto ok = load_eccodes_element_table(tables, dir / "element.table"); !ok) return ok;
  if (auto ok = load_eccodes_sequence_def(tables, dir / "sequence.def"); !ok) return ok;
  const fs::path codetables = dir / "codetables";
  if (path_exists(codetables)) return load_eccodes_code_tables(tables, codetables);
  return {};
}

} // namespace

std::string path_text(const fs::path& path) { return utf8_lossy(path.native()); }

Result<std::vector<fs::path>> matching_files(const fs::path& dir, std::string_view prefix,
                                             std::string_view suffix) {
  DirectoryListing listing;
  if (auto ok = listing.open(dir); !ok) return fail(std::move(ok.error()));
  auto names = listing.names(prefix, suffix);
  if (!names) return fail(std::move(names.error()));
  std::vector<fs::path> out;
  out.reserve(names->size());
  for (const std::string& name : *names) out.push_back(dir / name);
  return out;
}

Status load_eccodes_element_table(TableSet& tables, const fs::path& path) {
  auto reader = RecordReader::open(path, kElementTableDialect);
  if (!reader) return fail(std::move(reader.error()));
  for (;;) {
    auto more = reader->next();
    if (!more) return fail(std::move(more.error()));
    if (!*more) return {};
    if (reader->size() < 8) continue;
    auto code = table_code(reader->field(0));
    if (!code) return fail(std::move(code.error()));
    auto scale = parse_i32(reader->field(5));
    if (!scale) return fail(std::move(scale.error()));
    auto reference = parse_i64(reader->field(6));
    if (!reference) return fail(std::move(reference.error()));
    auto width = parse_u16(reader->field(7));
    if (!width) return fail(std::move(width.error()));
    tables.insert_element(ElementDefinition{
        .code = *code,
        .abbreviation = std::string(reader->field(1)),
        .element_type = std::string(reader->field(2)),
        .name = std::string(reader->field(3)),
        .unit = std::string(reader->field(4)),
        .scale = *scale,
        .reference = *reference,
        .width = *width,
    });
  }
}

Status load_eccodes_sequence_def(TableSet& tables, const fs::path& path) {
  std::string buffer;
  auto text = read_text_file(path.c_str(), buffer);
  if (!text) return fail(std::move(text.error()));
  std::string pending;
  Status status;
  for_each_line(*text, [&](std::string_view raw_line) {
    if (!status) return;
    const std::string_view line = trim_space(raw_line);
    if (line.empty() || line.front() == '#') return;
    const bool closes = line.find(']') != std::string_view::npos;
    if (pending.empty() && closes) {
      status = load_sequence_statement(tables, line);
      return;
    }
    if (!pending.empty()) pending.push_back(' ');
    pending.append(line);
    if (!closes) return;
    status = load_sequence_statement(tables, pending);
    pending.clear();
  });
  // A statement still waiting for its "]" at the end of the file is dropped.
  return status;
}

Status load_eccodes_code_tables(TableSet& tables, const fs::path& dir) {
  DirectoryListing listing;
  if (auto ok = listing.open(dir); !ok) return fail(std::move(ok.error()));
  auto names = listing.names("", ".table");
  if (!names) return fail(std::move(names.error()));
  std::string buffer;
  for (const std::string& name : *names) {
    const std::string_view stem = file_stem(name);
    if (stem.empty() || utf8_invalid_at(stem) != std::string_view::npos) continue;
    auto code = table_code(stem);
    if (!code) return fail(std::move(code.error()));
    auto text = read_text_file_at(listing.fd(), name.c_str(), buffer);
    if (!text) return fail(std::move(text.error()));
    CodeTable table;
    if (auto ok = load_code_table_text(*text, table); !ok) return ok;
    tables.insert_code_table(*code, std::move(table));
  }
  return {};
}

Result<fs::path> resolve_eccodes_table_dir(fs::path path) {
  std::vector<fs::path> visited;
  std::string buffer;
  for (;;) {
    const Kind kind = kind_of(path);
    if (kind == Kind::Directory) return path;
    if (kind != Kind::Regular) {
      return fail(BufrError::parse("ecCodes table directory does not exist: " + path_text(path)));
    }
    auto text = read_text_file(path.c_str(), buffer);
    if (!text) return fail(std::move(text.error()));
    const std::string_view alias = trim_space(*text);
    if (alias.empty() || alias.find('/') != std::string_view::npos ||
        alias.find('\\') != std::string_view::npos) {
      return fail(BufrError::parse("invalid ecCodes table alias " + path_text(path) + " -> " +
                                   quoted(alias)));
    }
    if (!path.has_filename()) {
      return fail(BufrError::parse("ecCodes table directory does not exist: " + path_text(path)));
    }
    fs::path next = path.parent_path() / std::string(alias);
    visited.push_back(std::move(path));
    if (visited.size() > kMaxAliasChain ||
        std::find(visited.begin(), visited.end(), next) != visited.end()) {
      return fail(BufrError::parse("ecCodes table alias chain loops: " +
                                   path_text(visited.back()) + " -> " + quoted(alias)));
    }
    path = std::move(next);
  }
}

Result<TableSet> from_eccodes_dir(const fs::path& dir) {
  TableSet tables;
  if (auto ok = load_table_dir(tables, dir); !ok) return fail(std::move(ok.error()));
  return tables;
}

Result<TableSet> from_eccodes_definitions(const fs::path& root, const BufrMessage& message) {
  const std::string master = std::to_string(message.master_table_number);
  const unsigned version = message.master_tables_version_number;
  const unsigned local = message.local_tables_version_number;
  const fs::path base = root / "bufr" / "tables" / master;

  auto wmo = resolve_eccodes_table_dir(base / "wmo" / std::to_string(version));
  if (!wmo) return fail(std::move(wmo.error()));
  TableSet tables;
  if (auto ok = load_table_dir(tables, *wmo); !ok) return fail(std::move(ok.error()));
  if (local == 0) return tables;

  // Version 19 names its local level "19-L".
  const std::string level = version == 19 ? "19-" + std::to_string(local) : std::to_string(local);
  const fs::path local_dir = base / "local" / level /
                             std::to_string(message.originating_centre) /
                             std::to_string(message.originating_subcentre);
  if (!path_exists(local_dir)) return tables;
  if (const fs::path p = local_dir / "element.table"; path_exists(p)) {
    if (auto ok = load_eccodes_element_table(tables, p); !ok) return fail(std::move(ok.error()));
  }
  if (const fs::path p = local_dir / "sequence.def"; path_exists(p)) {
    if (auto ok = load_eccodes_sequence_def(tables, p); !ok) return fail(std::move(ok.error()));
  }
  if (const fs::path p = local_dir / "codetables"; path_exists(p)) {
    if (auto ok = load_eccodes_code_tables(tables, p); !ok) return fail(std::move(ok.error()));
  }
  return tables;
}

} // namespace morvane
