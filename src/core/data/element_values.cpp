#include "element_values.hpp"

#include <array>

namespace morvane {

namespace {

constexpr double squaring_power(std::uint32_t exponent) {
  double result = 1.0;
  double base = 10.0;
  while (exponent != 0) {
    if ((exponent & 1U) != 0) result *= base;
    base *= base;
    exponent >>= 1U;
  }
  return result;
}

// Scales met in practice, computed by the same squaring as the general case.
constexpr int kTableLimit = 40;
constexpr std::array<double, 2 * kTableLimit + 1> kPowers = [] {
  std::array<double, 2 * kTableLimit + 1> powers{};
  for (int s = -kTableLimit; s <= kTableLimit; ++s) {
    const double p = squaring_power(static_cast<std::uint32_t>(s < 0 ? -s : s));
    powers[static_cast<std::size_t>(s + kTableLimit)] = s < 0 ? 1.0 / p : p;
  }
  return powers;
}();

bool is_text_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

} // namespace

double power_of_ten(std::int32_t scale) {
  if (scale >= -kTableLimit && scale <= kTableLimit) {
    return kPowers[static_cast<std::size_t>(scale + kTableLimit)];
  }
  const std::uint32_t magnitude =
      scale < 0 ? 0U - static_cast<std::uint32_t>(scale) : static_cast<std::uint32_t>(scale);
  const double p = squaring_power(magnitude);
  return scale < 0 ? 1.0 / p : p;
}

std::optional<std::string> decode_ia5_text(std::span<const std::uint8_t> bytes) {
  bool all_ff = true;
  for (std::uint8_t b : bytes) {
    if (b != 0xFF) {
      all_ff = false;
      break;
    }
  }
  if (all_ff) return std::nullopt;
  std::string text(bytes.size(), '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text[i] = bytes[i] < 0x80 ? static_cast<char>(bytes[i]) : '?';
  }
  std::size_t end = text.size();
  while (end > 0 && is_text_blank(text[end - 1])) --end;
  text.resize(end);
  return text;
}

Result<std::optional<double>> read_element(const ElementInfo& info, const TableCoding& table,
                                           BitReader& reader, ValueCodingState& state,
                                           std::vector<DecodedValue>& out) {
  const ElementDefinition& definition = *info.definition;
  if (info.kind == ElementKind::Text) {
    const std::uint16_t width = state.text_width ? *state.text_width : definition.width;
    std::uint8_t stack[256];
    std::vector<std::uint8_t> heap;
    std::uint8_t* buffer = stack;
    const std::size_t length = (width + 7U) / 8U;
    if (length > sizeof stack) {
      heap.resize(length);
      buffer = heap.data();
    }
    auto status = reader.read_bytes_into(width, buffer);
    if (!status) return fail(std::move(status.error()));
    ++state.text_counter;
    DecodedValue& item = out.emplace_back();
    item.descriptor = definition.code;
    item.name = &definition.name;
    item.has_raw_value = true;
    item.raw_value = static_cast<double>(state.text_counter) * 1000.0 + static_cast<double>(width / 8U);
    item.raw_text = ia5_text_item({buffer, length});
    return std::optional<double>{};
  }

  const NumericCoding coding = numeric_coding(table, info.kind, state);
  auto raw = reader.read_u64(coding.width);
  if (!raw) return fail(std::move(raw.error()));
  DecodedValue& item = out.emplace_back();
  item.descriptor = definition.code;
  item.name = &definition.name;
  item.has_raw = true;
  item.raw = *raw;
  if (info.code_table != nullptr) {
    auto it = info.code_table->find(*raw);
    if (it != info.code_table->end()) item.raw_meaning = &it->second;
  }
  if (!info.class31 && all_ones(*raw, coding.width)) return std::optional<double>{};
  item.has_raw_value = true;
  item.raw_value = element_value(coding.reference, *raw, coding.scale);
  return std::optional<double>{item.raw_value};
}

Status read_associated_field(BitReader& reader, std::uint8_t width, std::vector<DecodedValue>& out) {
  if (width == 0) return {};
  auto raw = reader.read_u64(width);
  if (!raw) return fail(std::move(raw.error()));
  DecodedValue& item = out.emplace_back();
  item.descriptor = 999999;
  item.name = &associated_field_name();
  item.has_raw_value = true;
  item.raw_value = static_cast<double>(*raw);
  item.has_raw = true;
  item.raw = *raw;
  return {};
}

Status read_inserted_text(BitReader& reader, std::uint32_t code, std::uint8_t characters,
                          std::vector<DecodedValue>& out) {
  std::uint8_t buffer[256];
  auto status = reader.read_bytes_into(static_cast<std::uint16_t>(characters * 8U), buffer);
  if (!status) return status;
  DecodedValue& item = out.emplace_back();
  item.descriptor = code;
  item.name = &inserted_text_name();
  item.raw_text = ia5_text_item({buffer, characters});
  return {};
}

DecodedValue operator_marker(std::uint32_t code) {
  DecodedValue item;
  item.descriptor = code;
  item.name = &operator_name();
  item.has_raw_value = true;
  item.raw_value = 0.0;
  item.has_raw = true;
  item.raw = 0;
  return item;
}

} // namespace morvane
