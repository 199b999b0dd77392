#include "message_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "../data/walk_message.hpp"
#include "../data/walk_sink.hpp"
#include "python_text.hpp"

namespace morvane::dump {

namespace {

constexpr std::size_t kNameWidth = 48;

// The records the Python items are made of, and where each subset starts
// among them (what the separate counting walk of subset_starts finds).
class RecordsWithStarts {
public:
  RecordsWithStarts(std::vector<DecodedValue>& out, std::vector<std::size_t>& starts)
      : out_(out), records_(out), starts_(starts) {}

  void begin_subset() { starts_.push_back(out_.size()); }
  void remember() {}
  void numeric(const ElementInfo& info, const NumericCoding& coding, std::uint64_t raw,
               bool present, double value, const ItemTag& tag) {
    records_.numeric(info, coding, raw, present, value, tag);
  }
  void text(const ElementInfo& info, std::uint16_t width, std::uint64_t counter,
            std::span<const std::uint8_t> bytes, const ItemTag& tag) {
    records_.text(info, width, counter, bytes, tag);
  }
  void associated(std::uint8_t width, std::uint64_t raw) { records_.associated(width, raw); }
  void inserted_text(std::uint32_t code, std::span<const std::uint8_t> bytes) {
    records_.inserted_text(code, bytes);
  }
  void marker(std::uint32_t code) { records_.marker(code); }

private:
  std::vector<DecodedValue>& out_;
  RecordSink records_;
  std::vector<std::size_t>& starts_;
};

// Writes the lines; the start of a line and the unit suffix are the same for
// every value of a descriptor, so they are made once per (code, name).
class LineWriter {
public:
  explicit LineWriter(const TableSet& tables) : tables_(&tables) {}

  void into(std::string& out) { out_ = &out; }

  void subset(std::size_t number) {
    std::array<char, 24> digits{};
    const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), number);
    std::string& out = *out_;
    out += "  subset ";
    out.append(digits.data(), written.ptr);
    out += '\n';
  }

  // One value; `meaning` and `text` may be null. A value without a raw
  // number is character data: its text, or "missing".
  void value(std::uint32_t code, const std::string* name, bool has_raw, bool has_value,
             double number, const std::string* meaning, const std::string* text) {
    const Label& label = label_of(code, name);
    std::string& out = *out_;
    out += label.start;
    if (!has_raw) {
      if (text == nullptr) {
        out += "missing";
      } else {
        append_json_string(out, *text);
      }
    } else {
      if (has_value) {
        append_number(out, number);
      } else {
        out += "missing";
      }
      if (meaning != nullptr) {
        out += " [";
        append_valid_utf8(out, *meaning);
        out += ']';
      }
      if (has_value) out += label.unit;
    }
    out += '\n';
  }

private:
  struct Label {
    std::string start;
    std::string unit;  // "  unit", or empty when numbers go without one
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

  const Label& label_of(std::uint32_t code, const std::string* name) {
    const Key key{code, name};
    Recent& recent = recent_[KeyHash()(key) % recent_.size()];
    if (recent.label != nullptr && recent.key == key) return *recent.label;
    auto found = labels_.find(key);
    if (found == labels_.end()) found = labels_.emplace(key, make_label(code, *name)).first;
    recent = Recent{key, &found->second};
    return found->second;
  }

  Label make_label(std::uint32_t code, const std::string& name) const {
    Label label;
    std::array<char, 16> digits{};
    const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), code);
    const auto length = static_cast<std::size_t>(written.ptr - digits.data());
    label.start = "    ";
    if (length < 6) label.start.append(6 - length, '0');
    label.start.append(digits.data(), length);
    label.start += "  ";
    const std::size_t before = label.start.size();
    append_valid_utf8(label.start, name);
    const std::size_t width = code_points(std::string_view(label.start).substr(before));
    if (width < kNameWidth) label.start.append(kNameWidth - width, ' ');
    label.start += ' ';
    const ElementDefinition* element = code < 100000 ? tables_->element(code) : nullptr;
    if (element != nullptr) {
      std::string unit;
      append_valid_utf8(unit, element->unit);
      if (!unit_is_plain(unit)) label.unit = "  " + unit;
    }
    return label;
  }

  const TableSet* tables_;
  std::string* out_ = nullptr;
  std::unordered_map<Key, Label, KeyHash> labels_;
  // The labels last used, found without the map: a subset returns to the
  // same few dozen. Node-based map: the pointers stay valid.
  struct Recent {
    Key key{0, nullptr};
    const Label* label = nullptr;
  };
  std::array<Recent, 256> recent_{};
};

} // namespace

struct MessageText::State {
  explicit State(const TableSet& tables) : lines(tables) {}

  enum class Source : std::uint8_t { Nothing, Records, Columns };
  Source source = Source::Nothing;
  std::vector<DecodedValue> values;  // uncompressed
  std::vector<std::size_t> starts;   // of each subset in `values`
  std::vector<ValueColumn> columns;  // compressed
  std::size_t subsets = 0;           // to write
  std::size_t next = 0;
  LineWriter lines;

  void write_subset(std::size_t s) {
    lines.subset(s + 1);
    if (source == Source::Records) {
      const std::size_t first = std::min(starts[s], values.size());
      const std::size_t end = std::min(s + 1 < starts.size() ? starts[s + 1] : values.size(), values.size());
      for (std::size_t i = first; i < end; ++i) {
        const DecodedValue& v = values[i];
        // An item with both a raw number and a text shows no meaning.
        lines.value(v.descriptor, v.name, v.has_raw, v.has_raw_value, v.raw_value,
                    v.raw_text ? nullptr : v.raw_meaning, v.raw_text.get());
      }
    } else if (source == Source::Columns) {
      for (const ValueColumn& column : columns) {
        const std::size_t e = column.entry(s);
        if (column.kind == ValueColumn::Kind::Numeric) {
          const std::string* meaning = column.meanings.empty() ? nullptr : column.meanings[e];
          lines.value(column.descriptor, column.name, true, column.present[e] != 0, column.values[e],
                      meaning, nullptr);
        } else {
          const auto& text = column.texts[e];
          lines.value(column.descriptor, column.name, false, false, 0.0, nullptr, text ? &*text : nullptr);
        }
      }
    }
  }
};

MessageText::MessageText(std::unique_ptr<State> state) : state_(std::move(state)) {}
MessageText::MessageText(MessageText&&) noexcept = default;
MessageText& MessageText::operator=(MessageText&&) noexcept = default;
MessageText::~MessageText() = default;

Result<MessageText> MessageText::decode(Bytes buffer, const TableSet& tables) {
  auto first = select_first_message(buffer);
  if (!first) return fail(std::move(first.error()));
  const BufrMessage& message = first->record;
  const Bytes data_bytes = section4_data(first->bytes, message);

  auto state = std::make_unique<State>(tables);
  if (!message.compressed_data) {
    // As decode_data: roughly one value per 8 to 16 bits of data.
    state->values.reserve(std::min<std::size_t>(data_bytes.size() * 8 / 12 + 16, std::size_t{1} << 20));
  }
  RecordsWithStarts records(state->values, state->starts);
  ValueColumnSink column_sink(state->columns);
  auto status = walk_message(message, tables, data_bytes, records, column_sink);
  if (!status) return fail(std::move(status.error()));

  // As the value lists are cut: no subsets when the message declares none,
  // every declared subset (empty) when there are no values, else those found.
  const std::size_t declared = message.number_of_subsets;
  const std::size_t items = message.compressed_data ? state->columns.size() * declared : state->values.size();
  if (declared == 0) {
    state->subsets = 0;
  } else if (items == 0) {
    state->subsets = declared;
  } else if (message.compressed_data) {
    state->source = State::Source::Columns;
    state->subsets = declared;
  } else {
    state->source = State::Source::Records;
    state->subsets = state->starts.size();
  }
  return MessageText(std::move(state));
}

bool MessageText::next(std::string& out, std::size_t size) {
  State& state = *state_;
  if (state.next >= state.subsets) return false;
  state.lines.into(out);
  do {
    state.write_subset(state.next++);
  } while (state.next < state.subsets && out.size() < size);
  return true;
}

} // namespace morvane::dump
