// Table B, Table D and the code tables that one decoding run consults.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace morvane {

struct ElementDefinition {
  std::uint32_t code = 0;
  std::string abbreviation;
  std::string element_type;
  std::string name;
  std::string unit;
  std::int32_t scale = 0;
  std::int64_t reference = 0;
  std::uint16_t width = 0;
};

struct SequenceDefinition {
  std::uint32_t code = 0;
  std::vector<std::uint32_t> members;
};

using CodeTable = std::unordered_map<std::uint64_t, std::string>;

// Loaders fill it; afterwards it is only read. Lookups return pointers into the
// set, which stay valid while the set is alive and unchanged (node-based maps).
class TableSet {
public:
  TableSet() = default;
  // A copy or a move is a set of its own: what is kept for one set (a
  // catalog) is not taken for the other.
  TableSet(const TableSet& other)
      : elements_(other.elements_), sequences_(other.sequences_), code_tables_(other.code_tables_) {}
  TableSet(TableSet&& other) noexcept
      : elements_(std::move(other.elements_)), sequences_(std::move(other.sequences_)),
        code_tables_(std::move(other.code_tables_)) {
    other.generation_ = next_generation();
  }
  TableSet& operator=(const TableSet& other) {
    if (this != &other) *this = TableSet(other);
    return *this;
  }
  TableSet& operator=(TableSet&& other) noexcept {
    if (this == &other) return *this;
    elements_ = std::move(other.elements_);
    sequences_ = std::move(other.sequences_);
    code_tables_ = std::move(other.code_tables_);
    generation_ = next_generation();
    other.generation_ = next_generation();
    return *this;
  }
  ~TableSet() = default;

  // Differs between any two sets alive at once, and between a set and any
  // set alive before it, at the same address or not, and changes with every
  // insertion: a pointer alone may be that of a newer set.
  [[nodiscard]] std::uint64_t generation() const { return generation_; }

  [[nodiscard]] const ElementDefinition* element(std::uint32_t code) const {
    auto it = elements_.find(code);
    return it == elements_.end() ? nullptr : &it->second;
  }
  [[nodiscard]] const SequenceDefinition* sequence(std::uint32_t code) const {
    auto it = sequences_.find(code);
    return it == sequences_.end() ? nullptr : &it->second;
  }
  // The inner code table of an element, or nullptr.
  [[nodiscard]] const CodeTable* code_table(std::uint32_t code) const {
    auto it = code_tables_.find(code);
    return it == code_tables_.end() ? nullptr : &it->second;
  }
  [[nodiscard]] const std::string* code_meaning(std::uint32_t code, std::uint64_t raw) const {
    const CodeTable* table = code_table(code);
    if (table == nullptr || table->empty()) return nullptr;
    auto it = table->find(raw);
    return it == table->end() ? nullptr : &it->second;
  }

  // Insertion replaces the whole entry held under the same code.
  void insert_element(ElementDefinition definition) {
    const std::uint32_t code = definition.code;
    elements_.insert_or_assign(code, std::move(definition));
    generation_ = next_generation();
  }
  void insert_sequence(SequenceDefinition definition) {
    const std::uint32_t code = definition.code;
    sequences_.insert_or_assign(code, std::move(definition));
    generation_ = next_generation();
  }
  void insert_code_table(std::uint32_t code, CodeTable table) {
    code_tables_.insert_or_assign(code, std::move(table));
    generation_ = next_generation();
  }

  [[nodiscard]] std::size_t element_count() const { return elements_.size(); }
  [[nodiscard]] std::size_t sequence_count() const { return sequences_.size(); }
  [[nodiscard]] std::size_t code_table_count() const { return code_tables_.size(); }

private:
  static std::uint64_t next_generation() {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
  }

  std::unordered_map<std::uint32_t, ElementDefinition> elements_;
  std::unordered_map<std::uint32_t, SequenceDefinition> sequences_;
  std::unordered_map<std::uint32_t, CodeTable> code_tables_;
  std::uint64_t generation_ = next_generation();
};

} // namespace morvane
