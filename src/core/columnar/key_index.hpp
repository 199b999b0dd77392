// The keys of a batch found by their text: open addressing over (hash,
// index into the batch's keys), one array for all, so that a new key costs
// no node and no second copy of its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::columnar {

class KeyIndex {
public:
  static constexpr std::uint32_t kAbsent = static_cast<std::uint32_t>(-1);

  static std::size_t hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

  // The index of `key` in `keys`, or kAbsent.
  [[nodiscard]] std::uint32_t find(std::string_view key, std::size_t hash,
                                   const std::vector<std::string>& keys) const {
    if (entries_.empty()) return kAbsent;
    const std::size_t mask = entries_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Entry& e = entries_[i];
      if (e.index == kAbsent) return kAbsent;
      if (e.hash == hash && keys[e.index] == key) return e.index;
    }
  }

  // `index` of a key not yet present, whose text hashes to `hash`.
  void insert(std::size_t hash, std::uint32_t index) {
    if ((count_ + 1) * 2 > entries_.size()) grow();
    place(Entry{hash, index});
    ++count_;
  }

  // No keys, the room kept.
  void clear() {
    for (Entry& e : entries_) e.index = kAbsent;
    count_ = 0;
  }
  [[nodiscard]] std::size_t room() const { return entries_.size(); }

private:
  struct Entry {
    std::size_t hash = 0;
    std::uint32_t index = kAbsent;
  };

  void place(const Entry& entry) {
    const std::size_t mask = entries_.size() - 1;
    std::size_t i = entry.hash & mask;
    while (entries_[i].index != kAbsent) i = (i + 1) & mask;
    entries_[i] = entry;
  }

  void grow() {
    std::vector<Entry> old(entries_.empty() ? 64 : entries_.size() * 2);
    old.swap(entries_);
    for (const Entry& e : old) {
      if (e.index != kAbsent) place(e);
    }
  }

  std::vector<Entry> entries_;
  std::size_t count_ = 0;
};

} // namespace morvane::columnar
