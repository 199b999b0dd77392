// The text of each decoded value in a dump: a line of `morvane dump`, or an
// object of its --json form. What every value of a descriptor shares (code,
// name, unit) is made once per (code, name).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "../tables/table_set.hpp"

namespace morvane::dump {

enum class Form : std::uint8_t {
  // "  subset N" lines, then per value "    DDDDDD  name(padded to 48) value[ [meaning]][  unit]".
  Text,
  // The subsets as JSON arrays, separated by ", ", of {"descriptor", "name", "unit",
  // "value", "raw", "meaning"} objects.
  Json,
};

// One decoded value as the Python items show it; pointers may be null.
struct ShownValue {
  std::uint32_t code = 0;
  const std::string* name = nullptr;
  bool has_raw = false;  // false: character data, shown by its text
  bool has_value = false;
  double value = 0.0;
  std::uint64_t raw = 0;
  const std::string* meaning = nullptr;
  const std::string* text = nullptr;
};

class ValueWriter {
public:
  ValueWriter(const TableSet& tables, Form form) : tables_(&tables), form_(form) {}

  // Where the next calls write.
  void into(std::string& out) { out_ = &out; }

  void begin_subset(std::size_t index);  // from 0
  void value(const ShownValue& value);
  void end_subset();

private:
  struct Label {
    std::string start;
    std::string unit;  // Text: "  unit", or empty when numbers go without one
  };
  struct Key {
    std::uint32_t code;
    const std::string* name;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const {
      const std::uint64_t h = (reinterpret_cast<std::uintptr_t>(key.name) + key.code * 0x9E37U) *
                              0x9E3779B97F4A7C15ULL;
      return static_cast<std::size_t>(h >> 40U);
    }
  };

  const Label& label_of(std::uint32_t code, const std::string* name);
  [[nodiscard]] Label make_label(std::uint32_t code, const std::string& name) const;
  void text_value(const Label& label, const ShownValue& value);
  void json_value(const Label& label, const ShownValue& value);

  const TableSet* tables_;
  Form form_;
  std::string* out_ = nullptr;
  bool first_in_subset_ = true;
  std::unordered_map<Key, Label, KeyHash> labels_;
  // The labels last used, found without the map: a subset returns to the
  // same few dozen. Node-based map: the pointers stay valid.
  struct Recent {
    Key key{0, nullptr};
    const Label* label = nullptr;
  };
  std::array<Recent, 256> recent_{};
};

} // namespace morvane::dump
