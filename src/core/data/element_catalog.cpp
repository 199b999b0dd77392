#include "element_catalog.hpp"

#include "element_values.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace morvane {

namespace {

bool equals_ignoring_case(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (std::toupper(c) != static_cast<unsigned char>(upper[i])) return false;
  }
  return true;
}

ElementRoute element_route(std::uint32_t code, const Fxy& fxy, const ElementInfo* info) {
  if (info == nullptr || info->kind == ElementKind::Text) return ElementRoute::General;
  if (code == 31031) return ElementRoute::BitmapEntry;
  return fxy.x == 33 ? ElementRoute::Quality : ElementRoute::Plain;
}

} // namespace

ElementKind element_kind(const std::string& unit) {
  if (unit == "CCITT IA5") return ElementKind::Text;
  if (equals_ignoring_case(unit, "CODE TABLE") || equals_ignoring_case(unit, "FLAG TABLE")) {
    return ElementKind::CodeOrFlag;
  }
  return ElementKind::Numeric;
}

const ElementInfo* ElementCatalog::insert(std::uint32_t code) {
  const ElementDefinition* definition = tables_.element(code);
  if (definition == nullptr) return nullptr;
  ElementInfo info;
  info.definition = definition;
  info.reference = definition->reference;
  info.scale = definition->scale;
  info.width = definition->width;
  const CodeTable* table = tables_.code_table(code);
  info.code_table = (table != nullptr && !table->empty()) ? table : nullptr;
  info.kind = element_kind(definition->unit);
  info.class31 = is_class31(code);
  info.index = static_cast<std::uint32_t>(entries_.size());
  info.missing_raw = missing_raw(info.width, info.class31);
  info.scale_divisor = power_of_ten(info.scale);
  info.coding = NumericCoding{info.width, info.scale, info.reference};
  entries_.push_back(info);
  // Keep the load factor at or below one half.
  if ((entries_.size() + 1) * 2 > slots_.size()) {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.info != nullptr) place(slot.code, slot.info);
    }
  }
  place(code, &entries_.back());
  return &entries_.back();
}

CatalogSequence* ElementCatalog::insert_sequence(std::uint32_t code) {
  const SequenceDefinition* definition = tables_.sequence(code);
  if (definition == nullptr) return nullptr;
  CatalogSequence* sequence = sequences_.emplace_back(std::make_unique<CatalogSequence>()).get();
  sequence->definition = definition;
  // Load factor at or below one half.
  if ((sequences_.size() + 1) * 2 > sequence_slots_.size()) {
    std::vector<SequenceSlot> old(sequence_slots_.size() * 2);
    old.swap(sequence_slots_);
    for (const SequenceSlot& slot : old) {
      if (slot.sequence != nullptr) place_sequence(slot.code, slot.sequence);
    }
  }
  place_sequence(code, sequence);
  return sequence;
}

void ElementCatalog::place_sequence(std::uint32_t code, CatalogSequence* sequence) {
  const std::size_t mask = sequence_slots_.size() - 1;
  std::size_t i = hash(code) & mask;
  while (sequence_slots_[i].sequence != nullptr) i = (i + 1) & mask;
  sequence_slots_[i] = SequenceSlot{code, sequence};
}

void ElementCatalog::resolve(std::span<const std::uint32_t> codes,
                             std::vector<ResolvedDescriptor>& out) {
  out.clear();
  out.reserve(codes.size());
  for (const std::uint32_t code : codes) {
    ResolvedDescriptor& descriptor = out.emplace_back();
    descriptor.code = code;
    descriptor.fxy = split_code(code);
    if (descriptor.fxy.f == 0) {
      descriptor.element = find(code);
      descriptor.route = element_route(code, descriptor.fxy, descriptor.element);
    }
    if (descriptor.fxy.f == 3) descriptor.sequence = sequence_entry(code);
  }
}

void ElementCatalog::resolve_members(CatalogSequence& sequence) {
  resolve(sequence.definition->members, sequence.members);
  sequence.resolved = true;
}

const FlatGroup* ElementCatalog::flat_group(CatalogSequence& sequence, std::size_t first,
                                            std::span<const ResolvedDescriptor> group,
                                            std::size_t max_nesting) {
  if (sequence.flat_groups.empty()) sequence.flat_groups.resize(sequence.members.size());
  CatalogSequence::FlatSlot& slot = sequence.flat_groups[first];
  if (!slot.made) {
    slot.made = true;
    slot.length = group.size();
    auto flat = std::make_unique<FlatGroup>();
    if (flatten(group, 0, max_nesting, *flat)) slot.group = std::move(flat);
  }
  // Two groups starting at one member (a factor that is also a replication
  // in some other reading of the list) are told apart by their length.
  return slot.length == group.size() ? slot.group.get() : nullptr;
}

bool ElementCatalog::flatten(std::span<const ResolvedDescriptor> members, std::size_t level,
                             std::size_t max_nesting, FlatGroup& out) {
  // Beyond this a group is rare enough, and a walk call per repetition
  // cheap enough beside it, that bounding the list matters more.
  constexpr std::uint64_t kMaxVisits = 1024;
  out.nesting = std::max(out.nesting, level);
  for (const ResolvedDescriptor& member : members) {
    if (++out.visits > kMaxVisits) return false;
    if (member.fxy.f == 0) {
      out.elements.push_back(member);
      continue;
    }
    if (member.fxy.f != 3 || member.sequence == nullptr || level >= max_nesting) return false;
    if (!flatten(this->members(*member.sequence), level + 1, max_nesting, out)) return false;
  }
  return true;
}

void ElementCatalog::place(std::uint32_t code, const ElementInfo* info) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash(code) & mask;
  while (slots_[i].info != nullptr) i = (i + 1) & mask;
  slots_[i] = Slot{code, info};
}

} // namespace morvane
