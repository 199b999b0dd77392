// One item of decoded output: an element value, an associated field, an
// operator marker or inserted text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace morvane {

struct DecodedValue {
  std::uint32_t descriptor = 0;
  bool has_raw_value = false;
  bool has_raw = false;
  double raw_value = 0.0;
  std::uint64_t raw = 0;
  // Names and meanings are the same for every value of a descriptor, so items
  // point at the text owned by the TableSet (or at a static text) instead of
  // copying it; the pointee outlives the item while the tables do.
  const std::string* name = nullptr;
  const std::string* raw_meaning = nullptr;
  // Owned; null when absent. A pointer keeps the item small and cheap to move.
  std::unique_ptr<std::string> raw_text;
};

// Static names of the items that have no Table B entry.
const std::string& associated_field_name();  // "associatedField"
const std::string& operator_name();          // "operator"
const std::string& inserted_text_name();     // "text"

} // namespace morvane
