// What data description operators, the data-present bitmap and associated
// fields leave behind while a descriptor list is walked.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "../error.hpp"
#include "element_catalog.hpp"

namespace morvane {

// An array appended to once per value (the descriptor history, the bitmap's
// entries): the append is a store, its growth out of line.
template <class T> class AppendedArray {
public:
  AppendedArray() = default;
  AppendedArray(AppendedArray&& other) noexcept
      : entries_(std::move(other.entries_)), size_(std::exchange(other.size_, 0)),
        room_(std::exchange(other.room_, 0)) {}
  AppendedArray& operator=(AppendedArray&& other) noexcept {
    entries_ = std::move(other.entries_);
    size_ = std::exchange(other.size_, 0);
    room_ = std::exchange(other.room_, 0);
    return *this;
  }
  AppendedArray(const AppendedArray&) = delete;
  AppendedArray& operator=(const AppendedArray&) = delete;
  ~AppendedArray() = default;

  // Inline even in the walk's large frames, where a call per value costs
  // more than the append itself.
  [[gnu::always_inline]] void push_back(T value) {
    if (size_ == room_) [[unlikely]] grow();
    entries_[size_++] = value;
  }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] T operator[](std::size_t i) const { return entries_[i]; }
  // Empties it, keeping its room.
  void clear() { size_ = 0; }

private:
  // Doubled, the new room left unset: only entries below size_ are read.
  [[gnu::noinline]] void grow() {
    const std::size_t room = std::max<std::size_t>(64, room_ * 2);
    auto entries = std::make_unique_for_overwrite<T[]>(room);
    std::copy(entries_.get(), entries_.get() + size_, entries.get());
    entries_ = std::move(entries);
    room_ = room;
  }

  std::unique_ptr<T[]> entries_;
  std::size_t size_ = 0;
  std::size_t room_ = 0;
};

// The elements decoded so far, in order.
using DescriptorHistory = AppendedArray<const ElementInfo*>;

struct ValueCodingState {
  // 0-31-031 values; 1 means "not present", anything else present.
  AppendedArray<std::uint8_t> bitmap;
  // Every element decoded so far, in order: what the bitmap refers back to.
  // Entries point at the catalog's Table B entries rather than copying them.
  DescriptorHistory descriptor_history;
  std::int64_t reference_multiplier = 1;
  std::size_t bitmap_cursor = 0;
  std::size_t bitmap_base = 0;
  // Class 33 values that follow a bitmap qualify its present entries in
  // turn; they keep their own place so re-reads are not disturbed.
  std::size_t quality_cursor = 0;
  std::uint64_t text_counter = 0;
  std::uint64_t compressed_text_counter = 0;
  std::optional<std::uint16_t> override_width;
  std::optional<std::uint16_t> text_width;
  std::int32_t width_delta = 0;
  std::int32_t scale_delta = 0;
  bool defining_bitmap = false;
  std::uint8_t associated_width = 0;

  // A bitmap may follow 2-22/2-23/2-24/2-25/2-32-000 directly, without
  // 2-36-000. Such bitmaps all refer to the elements that precede the first
  // of these operators (`inline_anchor`, a history length).
  std::optional<std::size_t> inline_anchor;
  bool inline_pending = false;   // operator seen, its bitmap not yet started
  bool inline_defining = false;  // inside the run of 0-31-031 that follows it

  // 2-03-YYY: while `new_reference_width` is nonzero each element descriptor
  // carries a new reference value of that many bits instead of a value.
  std::uint8_t new_reference_width = 0;
  std::vector<std::pair<std::uint32_t, std::int64_t>> new_references;

  // True whenever an operator that changes how elements are read may be in
  // force (2-01 to 2-04, 2-06, 2-07, references kept from a 2-03 block);
  // false only when every element is read with its Table B coding, so the
  // per-element path tests one flag instead of each of them.
  bool codings_changed = false;
  // Sets codings_changed from the fields; after each change to them.
  void recheck_codings() {
    codings_changed = width_delta != 0 || scale_delta != 0 || reference_multiplier != 1 ||
                      override_width.has_value() || associated_width != 0 ||
                      new_reference_width != 0 || !new_references.empty();
  }

  // The element the next "present" bitmap entry refers to; nullptr when the
  // bitmap has no further present entry.
  [[nodiscard]] Result<const ElementInfo*> next_bitmap_element();
  // The same as a descriptor history index (kNoHistory when none); advances `cursor`.
  static constexpr std::size_t kNoHistory = static_cast<std::size_t>(-1);
  [[nodiscard]] Result<std::size_t> next_bitmap_index(std::size_t& cursor) const;
  // The history index the next class 33 value qualifies, or kNoHistory when
  // no bitmap is in force.
  [[nodiscard, gnu::always_inline]] std::size_t next_quality_index() {
    // next_bitmap_index without its error, which is not wanted here: once
    // per class 33 value of a TEMP, thousands a message, inline for that.
    const std::size_t index = advance_bitmap(quality_cursor);
    return index < descriptor_history.size() ? index : kNoHistory;
  }
  // The history index of the bitmap's next present entry from `cursor`
  // (which moves past it), unchecked against the history; kNoHistory when
  // none is left. The bitmap covers the history entries just before
  // `bitmap_base`; its current length is used, so later entries widen the
  // window.
  [[nodiscard, gnu::always_inline]] std::size_t advance_bitmap(std::size_t& cursor) const {
    const std::size_t length = bitmap.size();
    if (cursor >= length) return kNoHistory;
    const std::size_t offset = bitmap_base >= length ? bitmap_base - length : 0;
    while (cursor < length && bitmap[cursor] == 1) ++cursor;
    if (cursor >= length) return kNoHistory;
    return offset + cursor++;
  }

  [[nodiscard]] const std::int64_t* new_reference(std::uint32_t code) const {
    for (const auto& entry : new_references) {
      if (entry.first == code) return &entry.second;
    }
    return nullptr;
  }
  void set_new_reference(std::uint32_t code, std::int64_t reference);
  // take_bitmap_entry for 0-31-031: mostly an entry of a bitmap begun
  // already, inline.
  // A 0-31-031 now is an entry of the bitmap being defined.
  [[nodiscard]] bool in_bitmap() const {
    return (defining_bitmap || inline_defining) && !inline_pending;
  }
  [[nodiscard]] bool take_bitmap_value(double value) {
    if (inline_pending || (!defining_bitmap && !inline_defining)) {
      return take_first_bitmap_value(value);
    }
    bitmap.push_back(bitmap_entry(value));
    return true;
  }

  // 0-31-031 read while a bitmap is being defined feeds the bitmap; returns
  // false when the element is an ordinary one.
  [[nodiscard]] bool take_bitmap_entry(std::uint32_t code, double value) {
    if (code != 31031) {
      end_inline_bitmap();
      return false;
    }
    return take_bitmap_value(value);
  }
  // The state of a new subset, keeping the arrays' room: every subset
  // starts afresh, and allocating its history anew each time is wasted.
  void restart() {
    auto history = std::move(descriptor_history);
    auto entries = std::move(bitmap);
    auto references = std::move(new_references);
    *this = ValueCodingState{};
    history.clear();
    entries.clear();
    references.clear();
    descriptor_history = std::move(history);
    bitmap = std::move(entries);
    new_references = std::move(references);
  }
  // Any element other than 0-31-031 ends an inline bitmap (and the wait for one).
  void end_inline_bitmap() {
    inline_pending = false;
    inline_defining = false;
  }
  // 2-22/2-23/2-24/2-25/2-32 with Y = 0.
  void expect_inline_bitmap() {
    if (!inline_anchor) inline_anchor = descriptor_history.size();
    inline_pending = true;
    inline_defining = false;
  }
  void clear_bitmap() {
    bitmap.clear();
    bitmap_cursor = 0;
    quality_cursor = 0;
    bitmap_base = 0;
  }
  // Clamped to 0..255 and truncated toward zero; NaN cannot come from bits.
  static std::uint8_t bitmap_entry(double value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
  }
  // The first entry of an inline bitmap, or not an entry at all.
  [[nodiscard]] bool take_first_bitmap_value(double value);
  void start_bitmap() {
    defining_bitmap = true;
    bitmap.clear();
    bitmap_cursor = 0;
    quality_cursor = 0;
    bitmap_base = descriptor_history.size();
  }
};

} // namespace morvane
