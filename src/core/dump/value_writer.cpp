#include "value_writer.hpp"

#include <charconv>

#include "python_text.hpp"

namespace morvane::dump {

namespace {

constexpr std::size_t kNameWidth = 48;

template <class T> void append_integer(std::string& out, T value) {
  std::array<char, 24> digits{};
  const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  out.append(digits.data(), written.ptr);
}

} // namespace

void ValueWriter::begin_subset(std::size_t index) {
  std::string& out = *out_;
  if (form_ == Form::Text) {
    out += "  subset ";
    append_integer(out, index + 1);
    out += '\n';
  } else {
    out += index == 0 ? "[" : ", [";
    first_in_subset_ = true;
  }
}

void ValueWriter::end_subset() {
  if (form_ == Form::Json) *out_ += ']';
}

void ValueWriter::value(const ShownValue& value) {
  const Label& label = label_of(value.code, value.name);
  if (form_ == Form::Text) {
    text_value(label, value);
  } else {
    json_value(label, value);
  }
}

void ValueWriter::text_value(const Label& label, const ShownValue& value) {
  std::string& out = *out_;
  out += label.start;
  if (!value.has_raw) {
    if (value.text == nullptr) {
      out += "missing";
    } else {
      append_json_string(out, *value.text);
    }
  } else {
    if (value.has_value) {
      append_number(out, value.value);
    } else {
      out += "missing";
    }
    if (value.meaning != nullptr) {
      out += " [";
      append_valid_utf8(out, *value.meaning);
      out += ']';
    }
    if (value.has_value) out += label.unit;
  }
  out += '\n';
}

void ValueWriter::json_value(const Label& label, const ShownValue& value) {
  std::string& out = *out_;
  if (!first_in_subset_) out += ", ";
  first_in_subset_ = false;
  out += label.start;
  if (!value.has_raw) {
    if (value.text == nullptr) {
      out += "null";
    } else {
      append_json_string(out, *value.text);
    }
    out += ", \"raw\": null, \"meaning\": null}";
    return;
  }
  if (value.has_value) {
    append_float_repr(out, value.value);
  } else {
    out += "null";
  }
  out += ", \"raw\": ";
  append_integer(out, value.raw);
  out += ", \"meaning\": ";
  if (value.meaning == nullptr) {
    out += "null";
  } else {
    std::string meaning;
    append_valid_utf8(meaning, *value.meaning);
    append_json_string(out, meaning);
  }
  out += '}';
}

const ValueWriter::Label& ValueWriter::label_of(std::uint32_t code, const std::string* name) {
  const Key key{code, name};
  Recent& recent = recent_[KeyHash()(key) % recent_.size()];
  if (recent.label != nullptr && recent.key == key) return *recent.label;
  auto found = labels_.find(key);
  if (found == labels_.end()) found = labels_.emplace(key, make_label(code, *name)).first;
  recent = Recent{key, &found->second};
  return found->second;
}

ValueWriter::Label ValueWriter::make_label(std::uint32_t code, const std::string& raw_name) const {
  std::string name;
  append_valid_utf8(name, raw_name);
  std::string unit;
  const ElementDefinition* element = code < 100000 ? tables_->element(code) : nullptr;
  if (element != nullptr) append_valid_utf8(unit, element->unit);
  Label label;
  if (form_ == Form::Json) {
    label.start = "{\"descriptor\": ";
    append_integer(label.start, code);
    label.start += ", \"name\": ";
    append_json_string(label.start, name);
    label.start += ", \"unit\": ";
    append_json_string(label.start, unit);
    label.start += ", \"value\": ";
    return label;
  }
  std::array<char, 16> digits{};
  const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), code);
  const auto length = static_cast<std::size_t>(written.ptr - digits.data());
  label.start = "    ";
  if (length < 6) label.start.append(6 - length, '0');
  label.start.append(digits.data(), length);
  label.start += "  ";
  label.start += name;
  const std::size_t width = code_points(name);
  if (width < kNameWidth) label.start.append(kNameWidth - width, ' ');
  label.start += ' ';
  if (!unit_is_plain(unit)) label.unit = "  " + unit;
  return label;
}

} // namespace morvane::dump
