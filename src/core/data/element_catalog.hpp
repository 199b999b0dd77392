// Table B entries as the data walks use them: looked up once per decode and
// classified once (character, code/flag table, class 31), so the per-value
// path does one probe of a small open-addressing table and no string compares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../descriptor.hpp"
#include "../tables/table_set.hpp"

namespace morvane {

enum class ElementKind : std::uint8_t {
  Numeric,
  // Unit "CCITT IA5": character data.
  Text,
  // Unit "CODE TABLE" / "FLAG TABLE" in any case: width, scale and reference
  // changes of 2-01, 2-02 and 2-07 do not apply.
  CodeOrFlag,
};

// Width, scale and reference a numeric element is read with.
struct NumericCoding {
  std::uint16_t width = 0;
  std::int32_t scale = 0;
  std::int64_t reference = 0;
};

struct ElementInfo {
  const ElementDefinition* definition = nullptr;
  // The definition's coding, copied here: the walks read it for every value,
  // and the definitions lie scattered through the table set.
  std::int64_t reference = 0;
  std::int32_t scale = 0;
  std::uint16_t width = 0;
  // Non-empty code table of the element, or nullptr.
  const CodeTable* code_table = nullptr;
  ElementKind kind = ElementKind::Numeric;
  bool class31 = false;
  // Dense number of the entry within one catalog (one decode), so a sink
  // can keep per-element state in arrays.
  std::uint32_t index = 0;
  // For reads with the Table B coding: the raw that means missing
  // (missing_raw() of element_values.hpp), and 10^scale, so that the
  // per-value path makes no call for either.
  std::uint64_t missing_raw = 0;
  double scale_divisor = 1.0;
  // reference, scale and width once more, as a sink takes them: the walk
  // hands this over rather than building one per value.
  NumericCoding coding;
};

ElementKind element_kind(const std::string& unit);

struct CatalogSequence;

// How the uncompressed walk may take an element descriptor while no operator
// changes codings: a numeric element read with its Table B coding, the same
// possibly qualifying an earlier element (class 33), a bitmap entry
// (0-31-031), or only by the general path (character data, no Table B
// entry, not an element).
enum class ElementRoute : std::uint8_t { General, Plain, Quality, BitmapEntry };

// A descriptor of a list as the uncompressed walk meets it: split once, its
// Table B entry (F = 0) or Table D entry (F = 3) found once per catalog
// rather than once per subset and repetition; null when the tables lack it.
struct ResolvedDescriptor {
  std::uint32_t code = 0;
  Fxy fxy{};
  ElementRoute route = ElementRoute::General;
  const ElementInfo* element = nullptr;
  CatalogSequence* sequence = nullptr;
};

// A replicated group of elements and of sequences that hold elements only
// (at any depth: no replication, no operator) as the elements one repetition
// reads, so the walk repeats it in place instead of walking it again.
struct FlatGroup {
  std::vector<ResolvedDescriptor> elements;
  // Descriptors walk() visits (and charges) for one repetition.
  std::uint64_t visits = 0;
  // Sequence levels below the group: the walk goes that much deeper.
  std::size_t nesting = 0;
};

// A Table D entry with its members resolved, on first walk: resolving them
// eagerly would follow sequences that contain themselves forever.
struct CatalogSequence {
  const SequenceDefinition* definition = nullptr;
  std::vector<ResolvedDescriptor> members;
  bool resolved = false;
  // Per member: the flat form of the replicated group of `length` members
  // starting there, once asked for; null group when it has none.
  struct FlatSlot {
    std::unique_ptr<FlatGroup> group;
    std::size_t length = 0;
    bool made = false;
  };
  std::vector<FlatSlot> flat_groups;
};

class ElementCatalog {
public:
  explicit ElementCatalog(const TableSet& tables)
      : tables_(tables), slots_(kInitialSlots), sequence_slots_(kInitialSequenceSlots) {}

  // nullptr when the code is not in Table B. Returned pointers stay valid for
  // the catalog's life.
  [[gnu::always_inline]] const ElementInfo* find(std::uint32_t code) {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash(code) & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.info == nullptr) break;
      if (slot.code == code) return slot.info;
    }
    return insert(code);
  }

  // The Table D entry of `code`, nullptr when there is none. Sequences are
  // met once per subset; a probe here is cheaper than the table set's map.
  [[gnu::always_inline]] const SequenceDefinition* sequence(std::uint32_t code) {
    CatalogSequence* entry = sequence_entry(code);
    return entry == nullptr ? nullptr : entry->definition;
  }

  // The same with room for its resolved members; stays valid for the
  // catalog's life.
  [[gnu::always_inline]] CatalogSequence* sequence_entry(std::uint32_t code) {
    std::size_t mask = sequence_slots_.size() - 1;
    for (std::size_t i = hash(code) & mask;; i = (i + 1) & mask) {
      const SequenceSlot& slot = sequence_slots_[i];
      if (slot.sequence == nullptr) break;
      if (slot.code == code) return slot.sequence;
    }
    return insert_sequence(code);
  }

  // The members of a sequence, resolved the first time they are asked for.
  [[gnu::always_inline]] std::span<const ResolvedDescriptor> members(CatalogSequence& sequence) {
    if (!sequence.resolved) resolve_members(sequence);
    return sequence.members;
  }

  // The replicated group `group`, members of `sequence` from `first` on, as
  // a flat element list made once; nullptr when it holds anything else, is
  // nested more than `max_nesting` levels or is too large to be worth it.
  // The walk asks after walking the group once, so its sequences are
  // resolved and the catalog has met their elements in walk order.
  const FlatGroup* flat_group(CatalogSequence& sequence, std::size_t first,
                              std::span<const ResolvedDescriptor> group, std::size_t max_nesting);

  // `codes` resolved into `out` (emptied first).
  void resolve(std::span<const std::uint32_t> codes, std::vector<ResolvedDescriptor>& out);

  [[nodiscard]] const TableSet& tables() const { return tables_; }

private:
  struct Slot {
    std::uint32_t code = 0;
    const ElementInfo* info = nullptr;
  };
  struct SequenceSlot {
    std::uint32_t code = 0;
    CatalogSequence* sequence = nullptr;
  };
  static constexpr std::size_t kInitialSlots = 256;
  static constexpr std::size_t kInitialSequenceSlots = 64;

  static std::size_t hash(std::uint32_t code) {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(code) * 0x9E3779B97F4A7C15ULL) >> 40U);
  }

  const ElementInfo* insert(std::uint32_t code);
  void place(std::uint32_t code, const ElementInfo* info);
  CatalogSequence* insert_sequence(std::uint32_t code);
  void place_sequence(std::uint32_t code, CatalogSequence* sequence);
  void resolve_members(CatalogSequence& sequence);
  bool flatten(std::span<const ResolvedDescriptor> members, std::size_t level,
               std::size_t max_nesting, FlatGroup& out);

  const TableSet& tables_;
  std::vector<Slot> slots_;
  std::deque<ElementInfo> entries_;  // deque: pointers survive growth
  std::vector<SequenceSlot> sequence_slots_;
  // Each entry on its own: pointers survive growth, and a catalog that
  // meets no sequence (made for every message of the object path) allocates
  // nothing for them.
  std::vector<std::unique_ptr<CatalogSequence>> sequences_;
};

// One catalog for consecutive messages of one table set: building it anew
// per message costs more than walking a small message. It may outlive its
// set: a set is known again by its address and generation together, as an
// address may have been reused by a newer set.
class CatalogCache {
public:
  // The catalog for `tables`, made anew (earlier entries gone) when the
  // table set changes; `fresh` tells so.
  ElementCatalog& for_tables(const TableSet& tables, bool* fresh = nullptr) {
    const bool renew = !catalog_ || tables_ != &tables || generation_ != tables.generation();
    if (renew) {
      catalog_ = std::make_unique<ElementCatalog>(tables);
      tables_ = &tables;
      generation_ = tables.generation();
    }
    if (fresh != nullptr) *fresh = renew;
    return *catalog_;
  }

private:
  std::unique_ptr<ElementCatalog> catalog_;
  const TableSet* tables_ = nullptr;
  std::uint64_t generation_ = 0;
};

} // namespace morvane
