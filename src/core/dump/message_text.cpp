#include "message_text.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "../data/walk_message.hpp"
#include "../data/walk_sink.hpp"
#include "value_writer.hpp"

namespace morvane::dump {

namespace {

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

} // namespace

struct MessageText::State {
  State(const TableSet& tables, Form form) : lines(tables, form) {}

  enum class Source : std::uint8_t { Nothing, Records, Columns };
  Source source = Source::Nothing;
  std::vector<DecodedValue> values;  // uncompressed
  std::vector<std::size_t> starts;   // of each subset in `values`
  std::vector<ValueColumn> columns;  // compressed
  std::size_t subsets = 0;           // to write
  std::size_t next = 0;
  ValueWriter lines;

  void write_subset(std::size_t s) {
    lines.begin_subset(s);
    if (source == Source::Records) {
      const std::size_t first = std::min(starts[s], values.size());
      const std::size_t end = std::min(s + 1 < starts.size() ? starts[s + 1] : values.size(), values.size());
      for (std::size_t i = first; i < end; ++i) {
        const DecodedValue& v = values[i];
        // An item with both a raw number and a text shows no meaning.
        lines.value({v.descriptor, v.name, v.has_raw, v.has_raw_value, v.raw_value, v.raw,
                     v.raw_text ? nullptr : v.raw_meaning, v.raw_text.get()});
      }
    } else if (source == Source::Columns) {
      for (const ValueColumn& column : columns) {
        const std::size_t e = column.entry(s);
        if (column.kind == ValueColumn::Kind::Numeric) {
          // A missing subset keeps the column's minimum as its raw, so the
          // meaning found for that raw is not this value's: none is shown.
          const std::string* meaning =
              column.meanings.empty() || column.present[e] == 0 ? nullptr : column.meanings[e];
          lines.value({column.descriptor, column.name, true, column.present[e] != 0, column.values[e],
                       column.raws[e], meaning, nullptr});
        } else {
          const std::optional<std::string> text = column.text(e);
          lines.value({column.descriptor, column.name, false, column.numbered, column.text_number(s), 0,
                       nullptr, text ? &*text : nullptr});
        }
      }
    }
    lines.end_subset();
  }
};

MessageText::MessageText(std::unique_ptr<State> state) : state_(std::move(state)) {}
MessageText::MessageText(MessageText&&) noexcept = default;
MessageText& MessageText::operator=(MessageText&&) noexcept = default;
MessageText::~MessageText() = default;

Result<MessageText> MessageText::decode(Bytes buffer, const TableSet& tables, Form form) {
  auto first = select_first_message(buffer);
  if (!first) return fail(std::move(first.error()));
  const BufrMessage& message = first->record;
  const Bytes data_bytes = section4_data(first->bytes, message);

  auto state = std::make_unique<State>(tables, form);
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
