#include "walk_common.hpp"

namespace morvane {

namespace {

// The operators that change how elements are read.
void change_codings(std::uint8_t x, std::uint8_t y, ValueCodingState& state) {
  switch (x) {
  case 1:
    state.width_delta = y == 0 ? 0 : static_cast<std::int32_t>(y) - 128;
    break;
  case 2:
    state.scale_delta = y == 0 ? 0 : static_cast<std::int32_t>(y) - 128;
    break;
  case 3:
    // 1..254 opens a block of new reference values of Y bits, 255 closes it,
    // 0 returns every element to its Table B reference.
    if (y == 0) {
      state.new_reference_width = 0;
      state.new_references.clear();
    } else {
      state.new_reference_width = y == 255 ? std::uint8_t{0} : y;
    }
    break;
  case 4:
    state.associated_width = y;
    break;
  case 6:
    state.override_width = y;
    break;
  case 7:
    if (y == 0) {
      state.width_delta = 0;
      state.scale_delta = 0;
      state.reference_multiplier = 1;
    } else {
      state.scale_delta = y;
      state.width_delta = (10 * static_cast<std::int32_t>(y) + 2) / 3;
      std::uint64_t multiplier = 1;
      for (unsigned i = 0; i < y; ++i) multiplier *= 10U;  // wraps like a 64-bit product
      state.reference_multiplier = static_cast<std::int64_t>(multiplier);
    }
    break;
  default:
    break;
  }
  state.recheck_codings();
}

} // namespace

OperatorAction apply_operator(const Fxy& fxy, ValueCodingState& state) {
  const std::uint8_t y = fxy.y;
  switch (fxy.x) {
  case 1:
  case 2:
  case 3:
  case 4:
  case 6:
  case 7:
    change_codings(fxy.x, y, state);
    return OperatorAction::None;
  case 5:
    return OperatorAction::InsertedText;
  case 8:
    if (y == 0) {
      state.text_width.reset();
    } else {
      state.text_width = static_cast<std::uint16_t>(8U * y);
    }
    return OperatorAction::None;
  case 22:
    if (y != 0) return OperatorAction::None;
    state.expect_inline_bitmap();
    return OperatorAction::Marker;
  case 62:
    return y == 0 ? OperatorAction::Marker : OperatorAction::None;
  case 23:
  case 24:
  case 25:
  case 32:
    if (y == 255) return OperatorAction::BitmapReread;
    if (y == 0) state.expect_inline_bitmap();
    return OperatorAction::Marker;
  case 35:
    if (y == 0) {
      state.end_inline_bitmap();
      state.inline_anchor.reset();
      state.clear_bitmap();
    }
    return OperatorAction::Marker;
  case 36:
    if (y != 0) return OperatorAction::None;
    state.end_inline_bitmap();
    state.start_bitmap();
    return OperatorAction::Marker;
  case 37:
    state.end_inline_bitmap();
    if (y == 0) {
      state.bitmap_cursor = 0;
      state.quality_cursor = 0;
    } else {
      state.clear_bitmap();
    }
    return OperatorAction::Marker;
  case 26:
  case 27:
  case 29:
  case 30:
  case 31:
  case 33:
  case 34:
  case 38:
  case 39:
  case 40:
  case 41:
  case 42:
    return OperatorAction::Marker;
  default:
    return OperatorAction::None;
  }
}

} // namespace morvane
