#include "wmo_csv_loader.hpp"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../descriptor.hpp"
#include "eccodes_loader.hpp"
#include "number_text.hpp"
#include "record_reader.hpp"

namespace morvane {

namespace fs = std::filesystem;

namespace {

// Column positions of the WMO CSV distribution (header row first).
constexpr std::size_t kBCodeField = 2;
constexpr std::size_t kBNameField = 3;
constexpr std::size_t kBUnitField = 4;
constexpr std::size_t kBScaleField = 5;
constexpr std::size_t kBReferenceField = 6;
constexpr std::size_t kBWidthField = 7;
constexpr std::size_t kBMinFields = 8;

constexpr std::size_t kDSequenceField = 2;
constexpr std::size_t kDMemberField = 5;
constexpr std::size_t kDMinFields = 6;

// This source names no type, so it is derived from the unit as ecCodes
// spells its types.
const char* element_type_of(std::string_view unit) {
  if (unit == "Code table") return "code";
  if (unit == "Flag table") return "flags";
  if (unit == "CCITT IA5") return "string";
  return "long";
}

Status load_table_b_file(TableSet& tables, const fs::path& path) {
  auto reader = RecordReader::open(path, kWmoCsvDialect);
  if (!reader) return fail(std::move(reader.error()));
  for (;;) {
    auto more = reader->next();
    if (!more) return fail(std::move(more.error()));
    if (!*more) return {};
    if (reader->size() < kBMinFields) continue;
    auto code = table_code(reader->field(kBCodeField));
    if (!code) return fail(std::move(code.error()));
    const std::string_view unit = reader->field(kBUnitField);
    auto scale = parse_i32(reader->field(kBScaleField));
    if (!scale) return fail(std::move(scale.error()));
    auto reference = parse_i64(reader->field(kBReferenceField));
    if (!reference) return fail(std::move(reference.error()));
    auto width = parse_u16(reader->field(kBWidthField));
    if (!width) return fail(std::move(width.error()));
    tables.insert_element(ElementDefinition{
        .code = *code,
        .abbreviation = std::string(),
        .element_type = element_type_of(unit),
        .name = std::string(reader->field(kBNameField)),
        .unit = std::string(unit),
        .scale = *scale,
        .reference = *reference,
        .width = *width,
    });
  }
}

Status load_table_d_file(TableSet& tables, const fs::path& path) {
  auto reader = RecordReader::open(path, kWmoCsvDialect);
  if (!reader) return fail(std::move(reader.error()));
  // Rows of one sequence need not be adjacent; the file's last word on a
  // sequence is all its rows together.
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> members;
  for (;;) {
    auto more = reader->next();
    if (!more) return fail(std::move(more.error()));
    if (!*more) break;
    if (reader->size() < kDMinFields) continue;
    auto sequence = table_code(reader->field(kDSequenceField));
    if (!sequence) return fail(std::move(sequence.error()));
    auto member = table_code(reader->field(kDMemberField));
    if (!member) return fail(std::move(member.error()));
    members[*sequence].push_back(*member);
  }
  for (auto& [code, list] : members) {
    tables.insert_sequence(SequenceDefinition{.code = code, .members = std::move(list)});
  }
  return {};
}

} // namespace

Result<TableSet> from_bufr4_45(const fs::path& dir) {
  TableSet tables;
  auto b_files = matching_files(dir, "BUFRCREX_TableB_en_", ".csv");
  if (!b_files) return fail(std::move(b_files.error()));
  for (const fs::path& path : *b_files) {
    if (auto ok = load_table_b_file(tables, path); !ok) return fail(std::move(ok.error()));
  }
  auto d_files = matching_files(dir, "BUFR_TableD_en_", ".csv");
  if (!d_files) return fail(std::move(d_files.error()));
  for (const fs::path& path : *d_files) {
    if (auto ok = load_table_d_file(tables, path); !ok) return fail(std::move(ok.error()));
  }
  return tables;
}

} // namespace morvane
