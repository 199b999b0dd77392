// The DecodedValue class and the conversion of decoded items into a list.
//
// A decode can produce millions of items, so an object is kept to plain C
// fields plus one reference to a shared label (value_label.hpp): made once
// per distinct (name, meaning) pair per decode call, found by the addresses
// of the table's strings (character items get a label of their own). That
// keeps an object at 48 bytes. Attributes are converted on access. The object
// refers only to its label and to its text, which cannot lead back to it, so
// the type is not tracked by the garbage collector. A character item has no
// raw number: its text takes that field's place, and its label is the plain
// (name, None) one shared with every item of the same element, so a text
// costs one str and nothing more.
//
// Freed objects are kept in a per-module pool for the next decode, up to
// kPoolLimit objects (24 MiB): handing a large list back to the allocator and
// taking fresh memory for the next one costs more than the decode itself. A
// freed object reaches the pool through its label, which holds the module:
// no per-object lookup, nothing that could raise.
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "../core/data/value_columns.hpp"
#include "call_guard.hpp"
#include "module_state.hpp"
#include "pyref.hpp"
#include "value_label.hpp"

namespace morvane::py {

namespace {

constexpr std::uint8_t kHasRawValue = 1;
constexpr std::uint8_t kHasRaw = 2;
constexpr std::uint8_t kHasText = 4;     // a character item: raw_text, not raw_meaning
constexpr std::uint8_t kTextInLabel = 8;  // ... whose text is the label's second item
constexpr std::size_t kPoolLimit = std::size_t{1} << 19;

struct ValueObject {
  PyObject_HEAD
  double raw_value;
  union {
    std::uint64_t raw;  // with kHasRaw
    PyObject* text;     // owned; with kHasText and without kTextInLabel
  };
  PyObject* label;  // a ValueLabel: name, and meaning or None (or text, with kTextInLabel)
  std::uint32_t descriptor;
  std::uint8_t flags;
};
static_assert(sizeof(ValueObject) <= 48);

ValueObject* as_value(PyObject* self) { return reinterpret_cast<ValueObject*>(self); }

void* take_from_pool(ModuleState* state) {
  void* memory = state->value_pool;
  if (memory != nullptr) {
    std::memcpy(&state->value_pool, memory, sizeof(void*));
    --state->value_pool_size;
    return memory;
  }
  return PyObject_Malloc(sizeof(ValueObject));
}

void value_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject* label = as_value(self)->label;
  // The label keeps the module, and so the state, alive; a module cleared
  // late in interpreter shutdown has closed its pool.
  ModuleState* state = as_label(label)->state;
  if ((as_value(self)->flags & (kHasText | kTextInLabel)) == kHasText) Py_DECREF(as_value(self)->text);
  if (!state->value_pool_closed && state->value_pool_size < kPoolLimit) {
    std::memcpy(self, &state->value_pool, sizeof(void*));
    state->value_pool = self;
    ++state->value_pool_size;
  } else {
    PyObject_Free(self);
  }
  Py_DECREF(type);
  Py_DECREF(label);  // last: it may hold the final reference to the module
}

PyObject* name_of(const ValueObject* v) { return as_label(v->label)->name; }
PyObject* second_of(const ValueObject* v) { return as_label(v->label)->second; }
PyObject* text_of(const ValueObject* v) {
  return (v->flags & kTextInLabel) != 0 ? second_of(v) : v->text;
}

PyObject* get_descriptor(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_value(self)->descriptor);
}
PyObject* get_name(PyObject* self, void*) { return Py_NewRef(name_of(as_value(self))); }
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
PyObject* get_raw_text(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  if ((v->flags & kHasText) == 0) Py_RETURN_NONE;
  return Py_NewRef(text_of(v));
}
PyObject* get_raw_meaning(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  if ((v->flags & kHasText) != 0) Py_RETURN_NONE;
  return Py_NewRef(second_of(v));
}
// The text if any, else the meaning, else the number.
PyObject* get_data(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  PyObject* extra = (v->flags & kHasText) != 0 ? text_of(v) : second_of(v);
  if (extra != Py_None) return Py_NewRef(extra);
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
  PyObject* extra = (v->flags & kHasText) != 0 ? text_of(v) : second_of(v);
  if (extra != Py_None) {
    if (!utf8_of(extra, text)) return nullptr;
    rendering = quoted(text);
  } else if ((v->flags & kHasRawValue) != 0) {
    rendering = "Some(" + debug_double(v->raw_value) + ")";
  } else {
    rendering = "None";
  }
  return str_object("DecodedValue(" + written_code(v->descriptor) + ", " + rendering + ")");
}

PyGetSetDef value_getset[] = {
    {"descriptor", guard<get_descriptor>, nullptr, nullptr, nullptr},
    {"name", guard<get_name>, nullptr, nullptr, nullptr},
    {"raw_value", guard<get_raw_value>, nullptr, nullptr, nullptr},
    {"raw", guard<get_raw>, nullptr, nullptr, nullptr},
    {"raw_text", guard<get_raw_text>, nullptr, nullptr, nullptr},
    {"raw_meaning", guard<get_raw_meaning>, nullptr, nullptr, nullptr},
    {"data", guard<get_data>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot value_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(guard<value_dealloc>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<value_repr>)},
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

// A new DecodedValue taking over the references `label` and, for a
// character item, `text`; on failure they are released.
PyObject* make_value(ModuleState* state, std::uint32_t descriptor, std::uint8_t flags,
                     double raw_value, std::uint64_t raw, PyObject* label, PyObject* text = nullptr) {
  auto* object = static_cast<ValueObject*>(take_from_pool(state));
  if (object == nullptr) {
    Py_DECREF(label);
    Py_XDECREF(text);
    return PyErr_NoMemory();
  }
  PyObject_Init(reinterpret_cast<PyObject*>(object), state->decoded_value_type);
  object->raw_value = raw_value;
  if (text != nullptr) {
    object->text = text;
  } else {
    object->raw = raw;
  }
  object->label = label;
  object->descriptor = descriptor;
  object->flags = flags;
  return reinterpret_cast<PyObject*>(object);
}

std::uint8_t flags_of(bool has_raw_value, bool has_raw) {
  return static_cast<std::uint8_t>((has_raw_value ? kHasRawValue : 0) | (has_raw ? kHasRaw : 0));
}

// A new str of a character item's text. The IA5 decoding leaves only ASCII.
PyObject* text_object(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Converts one core item; nullptr with an exception set on failure.
PyObject* convert_item(ModuleState* state, Labels& labels, const DecodedValue& item) {
  std::uint8_t flags = flags_of(item.has_raw_value, item.has_raw);
  if (item.raw_text && item.has_raw) {
    // Not made by the walks today; the raw number keeps its field.
    PyObject* label = labels.text_label(item.name, *item.raw_text);
    if (label == nullptr) return nullptr;
    return make_value(state, item.descriptor,
                      static_cast<std::uint8_t>(flags | kHasText | kTextInLabel), item.raw_value,
                      item.raw, label);
  }
  PyObject* label = labels.label(item.name, item.raw_meaning);
  if (label == nullptr) return nullptr;
  PyObject* text = nullptr;
  if (item.raw_text) {
    text = text_object(*item.raw_text);
    if (text == nullptr) return nullptr;
    flags |= kHasText;
  }
  return make_value(state, item.descriptor, flags, item.raw_value, item.raw, Py_NewRef(label), text);
}

} // namespace

PyTypeObject* create_decoded_value_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &value_spec, nullptr));
}

void release_value_pool(ModuleState* state) {
  state->value_pool_closed = true;
  while (state->value_pool != nullptr) {
    void* memory = state->value_pool;
    std::memcpy(&state->value_pool, memory, sizeof(void*));
    PyObject_Free(memory);
  }
  state->value_pool_size = 0;
}

PyObject* decoded_value_list(ModuleState* state, std::vector<DecodedValue>&& values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  Labels labels(state);
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* object = convert_item(state, labels, values[i]);
    if (object == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), object);
  }
  return list.release();
}

PyObject* decoded_value_list(ModuleState* state, DecodedData&& data) {
  if (!data.compressed) return decoded_value_list(state, std::move(data.values));
  Ref list(PyList_New(static_cast<Py_ssize_t>(data.size())));
  if (!list) return nullptr;
  Labels labels(state);
  // The label of each column without a meaning, made once.
  std::vector<PyObject*> plain(data.columns.size());
  for (std::size_t c = 0; c < data.columns.size(); ++c) {
    plain[c] = labels.label(data.columns[c].name, nullptr);
    if (plain[c] == nullptr) return nullptr;
  }
  std::vector<Ref> shared_text(data.columns.size());
  Py_ssize_t index = 0;
  for (std::size_t s = 0; s < data.subsets; ++s) {
    for (std::size_t c = 0; c < data.columns.size(); ++c) {
      const ValueColumn& column = data.columns[c];
      const std::size_t e = column.entry(s);
      PyObject* object;
      if (column.kind == ValueColumn::Kind::Numeric) {
        PyObject* label = plain[c];
        if (!column.meanings.empty() && column.meanings[e] != nullptr) {
          label = labels.label(column.name, column.meanings[e]);
          if (label == nullptr) return nullptr;
        }
        object = make_value(state, column.descriptor, flags_of(column.present[e] != 0, true),
                            column.values[e], column.raws[e], Py_NewRef(label));
      } else {
        std::uint8_t flags = flags_of(column.numbered, false);
        PyObject* text = nullptr;
        const std::optional<std::string> field =
            column.constant && shared_text[c] ? std::nullopt : column.text(e);
        if (column.constant && (shared_text[c] || field)) {
          // One str for every subset of a constant column: a long text
          // copied per subset would turn kilobytes of data into gigabytes.
          if (!shared_text[c]) {
            shared_text[c] = Ref(text_object(*field));
            if (!shared_text[c]) return nullptr;
          }
          text = Py_NewRef(shared_text[c].get());
        } else if (field) {
          text = text_object(*field);
          if (text == nullptr) return nullptr;
        }
        if (text != nullptr) flags |= kHasText;
        const double number = column.numbered ? column.text_number(s) : 0.0;
        object = make_value(state, column.descriptor, flags, number, 0, Py_NewRef(plain[c]), text);
      }
      if (object == nullptr) return nullptr;
      PyList_SetItem(list.get(), index++, object);
    }
  }
  return list.release();
}

} // namespace morvane::py
