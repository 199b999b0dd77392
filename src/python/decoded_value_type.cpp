// The DecodedValue class and the conversion of decoded items into a list.
//
// A decode can produce millions of items, so an object is kept to plain C
// fields plus references to shared str objects: the name (and code-table
// meaning) is one str per distinct text per decode call, looked up by the
// address of the table's string. Attributes are converted on access. The
// object holds only str references, which cannot form cycles, so the type is
// not tracked by the garbage collector.
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "../core/data/value_columns.hpp"
#include "module_state.hpp"
#include "pyref.hpp"

namespace morvane::py {

namespace {

constexpr std::uint8_t kHasRawValue = 1;
constexpr std::uint8_t kHasRaw = 2;

struct ValueObject {
  PyObject_HEAD
  double raw_value;
  std::uint64_t raw;
  PyObject* name;     // shared, never null
  PyObject* meaning;  // shared, or null
  PyObject* text;     // owned, or null
  std::uint32_t descriptor;
  std::uint8_t flags;
};

ValueObject* as_value(PyObject* self) { return reinterpret_cast<ValueObject*>(self); }

void value_dealloc(PyObject* self) {
  ValueObject* v = as_value(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_DECREF(v->name);
  Py_XDECREF(v->meaning);
  Py_XDECREF(v->text);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyObject* new_ref_or_none(PyObject* object) {
  if (object == nullptr) Py_RETURN_NONE;
  Py_INCREF(object);
  return object;
}

PyObject* get_descriptor(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_value(self)->descriptor);
}
PyObject* get_name(PyObject* self, void*) { return new_ref_or_none(as_value(self)->name); }
PyObject* get_raw_value(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  if ((v->flags & kHasRawValue) == 0) Py_RETURN_NONE;
  return PyFloat_FromDouble(v->raw_value);
}
PyObject* get_raw(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  if ((v->flags & kHasRaw) == 0) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(v->raw);
}
PyObject* get_raw_text(PyObject* self, void*) { return new_ref_or_none(as_value(self)->text); }
PyObject* get_raw_meaning(PyObject* self, void*) {
  return new_ref_or_none(as_value(self)->meaning);
}
// The text if any, else the meaning, else the number.
PyObject* get_data(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  if (v->text != nullptr) return new_ref_or_none(v->text);
  if (v->meaning != nullptr) return new_ref_or_none(v->meaning);
  return get_raw_value(self, nullptr);
}

// Shortest round-trip digits; positional with at least one fractional digit
// for magnitudes in [1e-4, 1e16) and zero, otherwise d.ddde[-]x.
std::string debug_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[400];
  const double magnitude = std::fabs(value);
  if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    std::string text(buffer, result.ptr);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
  }
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string text(buffer, result.ptr);
  const std::size_t e = text.find('e');
  std::string mantissa = text.substr(0, e);
  std::string exponent = text.substr(e + 1);
  bool negative = false;
  std::size_t start = 0;
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
    negative = exponent[0] == '-';
    start = 1;
  }
  while (start + 1 < exponent.size() && exponent[start] == '0') ++start;
  return mantissa + "e" + (negative ? "-" : "") + exponent.substr(start);
}

bool utf8_of(PyObject* str, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

PyObject* value_repr(PyObject* self) {
  const ValueObject* v = as_value(self);
  std::string rendering;
  std::string text;
  if (v->text != nullptr || v->meaning != nullptr) {
    if (!utf8_of(v->text != nullptr ? v->text : v->meaning, text)) return nullptr;
    rendering = quoted(text);
  } else if ((v->flags & kHasRawValue) != 0) {
    rendering = "Some(" + debug_double(v->raw_value) + ")";
  } else {
    rendering = "None";
  }
  return str_object("DecodedValue(" + written_code(v->descriptor) + ", " + rendering + ")");
}

PyGetSetDef value_getset[] = {
    {"descriptor", get_descriptor, nullptr, nullptr, nullptr},
    {"name", get_name, nullptr, nullptr, nullptr},
    {"raw_value", get_raw_value, nullptr, nullptr, nullptr},
    {"raw", get_raw, nullptr, nullptr, nullptr},
    {"raw_text", get_raw_text, nullptr, nullptr, nullptr},
    {"raw_meaning", get_raw_meaning, nullptr, nullptr, nullptr},
    {"data", get_data, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot value_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(value_repr)},
    {Py_tp_getset, value_getset},
    {0, nullptr},
};

PyType_Spec value_spec = {
    "_morvane.DecodedValue",
    sizeof(ValueObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    value_slots,
};

// One str per distinct core string, keyed by the string's address, for the
// duration of one conversion. Holds a reference to each str it made.
class SharedStrings {
public:
  SharedStrings() : slots_(64) {}
  SharedStrings(const SharedStrings&) = delete;
  SharedStrings& operator=(const SharedStrings&) = delete;
  ~SharedStrings() {
    for (const Slot& slot : slots_) Py_XDECREF(slot.object);
  }

  // Borrowed reference, or nullptr with an exception set.
  PyObject* get(const std::string* text) {
    if (text == last_key_) return last_object_;
    std::size_t mask = slots_.size() - 1;
    std::size_t i = hash(text) & mask;
    while (slots_[i].key != nullptr) {
      if (slots_[i].key == text) return remember(text, slots_[i].object);
      i = (i + 1) & mask;
    }
    PyObject* object = str_object(*text);
    if (object == nullptr) return nullptr;
    if ((used_ + 1) * 2 > slots_.size()) {
      grow();
      mask = slots_.size() - 1;
      i = hash(text) & mask;
      while (slots_[i].key != nullptr) i = (i + 1) & mask;
    }
    slots_[i] = Slot{text, object};
    ++used_;
    return remember(text, object);
  }

private:
  struct Slot {
    const std::string* key = nullptr;
    PyObject* object = nullptr;
  };
  static std::size_t hash(const std::string* key) {
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(key) >> 3U) *
                                    0x9E3779B97F4A7C15ULL >> 32U);
  }
  PyObject* remember(const std::string* key, PyObject* object) {
    last_key_ = key;
    last_object_ = object;
    return object;
  }
  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.key == nullptr) continue;
      std::size_t i = hash(slot.key) & mask;
      while (slots_[i].key != nullptr) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  const std::string* last_key_ = nullptr;
  PyObject* last_object_ = nullptr;
};

// A new DecodedValue; takes the borrowed name/meaning as new references and
// `text` as it is (already a new reference or null).
PyObject* make_value(PyTypeObject* type, std::uint32_t descriptor, std::uint8_t flags,
                     double raw_value, std::uint64_t raw, PyObject* name, PyObject* meaning,
                     PyObject* text) {
  auto* object = static_cast<ValueObject*>(PyObject_Malloc(sizeof(ValueObject)));
  if (object == nullptr) {
    Py_XDECREF(text);
    return PyErr_NoMemory();
  }
  PyObject_Init(reinterpret_cast<PyObject*>(object), type);
  object->raw_value = raw_value;
  object->raw = raw;
  Py_INCREF(name);
  object->name = name;
  Py_XINCREF(meaning);
  object->meaning = meaning;
  object->text = text;
  object->descriptor = descriptor;
  object->flags = flags;
  return reinterpret_cast<PyObject*>(object);
}

PyObject* text_object(const std::optional<std::string>& text) {
  if (!text) return nullptr;
  // The IA5 decoding leaves only ASCII.
  return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

std::uint8_t flags_of(bool has_raw_value, bool has_raw) {
  return static_cast<std::uint8_t>((has_raw_value ? kHasRawValue : 0) | (has_raw ? kHasRaw : 0));
}

// Converts one core item; nullptr with an exception set on failure.
PyObject* convert_item(PyTypeObject* type, SharedStrings& strings, const DecodedValue& item) {
  PyObject* name = strings.get(item.name);
  if (name == nullptr) return nullptr;
  PyObject* meaning = nullptr;
  if (item.raw_meaning != nullptr) {
    meaning = strings.get(item.raw_meaning);
    if (meaning == nullptr) return nullptr;
  }
  PyObject* text = nullptr;
  if (item.raw_text) {
    text = text_object(item.raw_text);
    if (text == nullptr) return nullptr;
  }
  return make_value(type, item.descriptor, flags_of(item.has_raw_value, item.has_raw),
                    item.raw_value, item.raw, name, meaning, text);
}

} // namespace

PyTypeObject* create_decoded_value_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &value_spec, nullptr));
}

PyObject* decoded_value_list(ModuleState* state, std::vector<DecodedValue>&& values) {
  PyTypeObject* type = state->decoded_value_type;
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  SharedStrings strings;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* object = convert_item(type, strings, values[i]);
    if (object == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), object);
  }
  return list.release();
}

PyObject* decoded_value_list(ModuleState* state, DecodedData&& data) {
  if (!data.compressed) return decoded_value_list(state, std::move(data.values));
  PyTypeObject* type = state->decoded_value_type;
  const std::size_t count = data.size();
  Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  SharedStrings strings;
  // Per column: its name, and for constant columns the item's parts once.
  std::vector<PyObject*> names(data.columns.size());
  for (std::size_t c = 0; c < data.columns.size(); ++c) {
    names[c] = strings.get(data.columns[c].name);
    if (names[c] == nullptr) return nullptr;
  }
  Py_ssize_t index = 0;
  for (std::size_t s = 0; s < data.subsets; ++s) {
    for (std::size_t c = 0; c < data.columns.size(); ++c) {
      const ValueColumn& column = data.columns[c];
      const std::size_t e = column.entry(s);
      PyObject* object;
      if (column.kind == ValueColumn::Kind::Numeric) {
        PyObject* meaning = nullptr;
        if (!column.meanings.empty() && column.meanings[e] != nullptr) {
          meaning = strings.get(column.meanings[e]);
          if (meaning == nullptr) return nullptr;
        }
        object = make_value(type, column.descriptor, flags_of(column.present[e] != 0, true),
                            column.values[e], column.raws[e], names[c], meaning, nullptr);
      } else {
        PyObject* text = nullptr;
        if (column.texts[e]) {
          text = text_object(column.texts[e]);
          if (text == nullptr) return nullptr;
        }
        const double number =
            column.numbered ? (column.text_base + static_cast<double>(s) + 1.0) * 1000.0 +
                                  column.text_width_bytes
                            : 0.0;
        object = make_value(type, column.descriptor, flags_of(column.numbered, false), number, 0,
                            names[c], nullptr, text);
      }
      if (object == nullptr) return nullptr;
      PyList_SetItem(list.get(), index++, object);
    }
  }
  return list.release();
}

} // namespace morvane::py
