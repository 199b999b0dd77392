// The subsets of one message as `morvane dump` shows them, in its text or
// JSON form (value_writer.hpp), as the Python layer wrote them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "../error.hpp"
#include "../message.hpp"
#include "../tables/table_set.hpp"
#include "value_writer.hpp"

namespace morvane::dump {

// The decoded subsets of one message, written out as text piece by piece:
// the values stay in their compact decoded form, and only one piece of text
// is held at a time.
class MessageText {
public:
  // The first message of `buffer` (framed as the decoders frame it) decoded
  // with `tables`, which must outlive the object.
  [[nodiscard]] static Result<MessageText> decode(Bytes buffer, const TableSet& tables, Form form);

  MessageText(MessageText&&) noexcept;
  MessageText& operator=(MessageText&&) noexcept;
  ~MessageText();

  // Appends the text of the next subsets to `out`, whole subsets until it
  // holds at least `size` bytes; false when every subset had been written.
  bool next(std::string& out, std::size_t size);

private:
  struct State;
  explicit MessageText(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

} // namespace morvane::dump
