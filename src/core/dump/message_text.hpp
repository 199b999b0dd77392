// The text form of `morvane dump` for the values of one message: a
// "  subset N" line per subset, then one line per value with its descriptor,
// name, value, meaning and unit, as the Python layer wrote it.
#pragma once

#include <string>

#include "../error.hpp"
#include "../message.hpp"
#include "../tables/table_set.hpp"

namespace morvane::dump {

// The subsets of the first message of `buffer` (framed as the decoders frame
// it) decoded with `tables`, as text.
[[nodiscard]] Result<std::string> message_text(Bytes buffer, const TableSet& tables);

} // namespace morvane::dump
