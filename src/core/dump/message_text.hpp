// The text form of `morvane dump` for the values of one message: a
// "  subset N" line per subset, then one line per value with its descriptor,
// name, value, meaning and unit, as the Python layer wrote it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "../error.hpp"
#include "../message.hpp"
#include "../tables/table_set.hpp"

namespace morvane::dump {

// The decoded subsets of one message, written out as text piece by piece:
// the values stay in their compact decoded form, and only one piece of text
// is held at a time.
class MessageText {
public:
  // The first message of `buffer` (framed as the decoders frame it) decoded
  // with `tables`, which must outlive the object.
  [[nodiscard]] static Result<MessageText> decode(Bytes buffer, const TableSet& tables);

  MessageText(MessageText&&) noexcept;
  MessageText& operator=(MessageText&&) noexcept;
  ~MessageText();

  // Appends the lines of the next subsets to `out`, whole subsets until it
  // holds at least `size` bytes; false when every subset had been written.
  bool next(std::string& out, std::size_t size);

private:
  struct State;
  explicit MessageText(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

} // namespace morvane::dump
