// Every item of a run of messages as flat arrays: one entry per item in
// subset order (descriptor code, value, whether present), the text of
// character items apart. What read_bufr groups and gathers with NumPy
// without one Python object per value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "../data/element_catalog.hpp"
#include "../error.hpp"
#include "../message.hpp"
#include "../tables/table_set.hpp"

namespace morvane::columnar {

inline constexpr std::uint32_t kAssociatedFieldCode = 999999;

struct ItemArrays {
  std::vector<std::uint32_t> codes;
  // Numeric items: the value (NaN when missing); character items: their
  // number among `text_starts`; markers and inserted text: NaN.
  std::vector<double> values;
  std::vector<std::uint8_t> present;
  // Where each subset starts among the items; one more entry at the end.
  std::vector<std::uint64_t> subset_starts{0};
  // Where each message starts among the subsets; one more entry at the end.
  std::vector<std::uint64_t> message_starts{0};
  std::string text;
  std::vector<std::uint64_t> text_starts{0};

  // Drops what was added since `mark` (a message that failed halfway).
  struct Mark {
    std::size_t items, subsets, texts, text_bytes;
  };
  [[nodiscard]] Mark mark() const {
    return {codes.size(), subset_starts.size(), text_starts.size(), text.size()};
  }
  void rollback(const Mark& mark);
};

// Adds the subsets of the first message of `buffer`; on failure nothing of
// it stays, and the message counts with no subsets.
[[nodiscard]] Status add_message_items(ItemArrays& items, Bytes buffer, const TableSet& tables,
                                       CatalogCache& catalogs);

// Ends the message just added (or failed).
void end_message_items(ItemArrays& items);

} // namespace morvane::columnar
