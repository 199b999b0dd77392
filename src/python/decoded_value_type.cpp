// The DecodedValue class and the conversion of decoded items into a list.
//
// A decode can produce millions of items, so an object is kept to plain C
// fields plus one reference to a shared label: a (name, meaning) tuple made
// once per distinct pair per decode call, found by the addresses of the
// table's strings (character items get a (name, text) tuple of their own).
// That keeps an object at 48 bytes. Attributes are converted on access. The
// object refers only to a tuple of strings, which cannot lead back to it, so
// the type is not tracked by the garbage collector.
//
// Freed objects are kept in a per-module pool for the next decode, up to
// kPoolLimit objects (24 MiB): handing a large list back to the allocator and
// taking fresh memory for the next one costs more than the decode itself.
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "../core/data/value_columns.hpp"
#include "call_guard.hpp"
#include "module_state.hpp"
#include "pyref.hpp"

namespace morvane::py {

namespace {

constexpr std::uint8_t kHasRawValue = 1;
constexpr std::uint8_t kHasRaw = 2;
constexpr std::uint8_t kHasText = 4;  // the label's second item is text, not a meaning
constexpr std::size_t kPoolLimit = std::size_t{1} << 19;

struct ValueObject {
  PyObject_HEAD
  double raw_value;
  std::uint64_t raw;
  PyObject* label;  // (name, meaning or text or None)
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
  Py_DECREF(as_value(self)->label);
  // Late in interpreter shutdown the type may have lost its module; the
  // lookup then raises, which must not disturb an exception in flight.
  PyObject* in_flight = PyErr_GetRaisedException();
  ModuleState* state = state_of_type(type);
  if (state == nullptr) PyErr_Clear();
  PyErr_SetRaisedException(in_flight);
  if (state != nullptr && !state->value_pool_closed && state->value_pool_size < kPoolLimit) {
    std::memcpy(self, &state->value_pool, sizeof(void*));
    state->value_pool = self;
    ++state->value_pool_size;
  } else {
    PyObject_Free(self);
  }
  Py_DECREF(type);
}

PyObject* label_item(const ValueObject* v, Py_ssize_t index) {
  PyObject* item = PyTuple_GetItem(v->label, index);
  Py_XINCREF(item);
  return item;
}

PyObject* get_descriptor(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_value(self)->descriptor);
}
PyObject* get_name(PyObject* self, void*) { return label_item(as_value(self), 0); }
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
  return label_item(v, 1);
}
PyObject* get_raw_meaning(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  if ((v->flags & kHasText) != 0) Py_RETURN_NONE;
  return label_item(v, 1);
}
// The text if any, else the meaning, else the number.
PyObject* get_data(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  PyObject* extra = PyTuple_GetItem(v->label, 1);
  if (extra == nullptr) return nullptr;
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
  PyObject* extra = PyTuple_GetItem(v->label, 1);
  if (extra == nullptr) return nullptr;
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

// Labels of one conversion: one str per distinct core string and one
// (name, meaning) tuple per distinct pair, keyed by the strings' addresses.
class Labels {
public:
  Labels() : slots_(64) {}
  Labels(const Labels&) = delete;
  Labels& operator=(const Labels&) = delete;
  ~Labels() {
    for (const Slot& slot : slots_) Py_XDECREF(slot.object);
  }

  // Borrowed (name, meaning-or-None) tuple, or nullptr with an exception set.
  PyObject* label(const std::string* name, const std::string* meaning) {
    if (name == last_name_ && meaning == last_meaning_) return last_label_;
    PyObject* found = find({name, meaning, kLabel});
    if (found == nullptr) {
      if (PyErr_Occurred() != nullptr) return nullptr;
      PyObject* name_str = text(name);
      if (name_str == nullptr) return nullptr;
      PyObject* second = Py_None;
      if (meaning != nullptr) {
        second = text(meaning);
        if (second == nullptr) return nullptr;
      }
      found = PyTuple_Pack(2, name_str, second);
      if (found == nullptr || !insert({name, meaning, kLabel}, found)) return nullptr;
    }
    last_name_ = name;
    last_meaning_ = meaning;
    last_label_ = found;
    return found;
  }

  // A new (name, text) tuple for one character item.
  PyObject* text_label(const std::string* name, const std::string& value) {
    PyObject* name_str = text(name);
    if (name_str == nullptr) return nullptr;
    // The IA5 decoding leaves only ASCII.
    Ref text_str(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
    if (!text_str) return nullptr;
    return PyTuple_Pack(2, name_str, text_str.get());
  }

private:
  static constexpr int kString = 0;
  static constexpr int kLabel = 1;
  struct Key {
    const std::string* first = nullptr;
    const std::string* second = nullptr;
    int kind = kString;
    bool operator==(const Key&) const = default;
  };
  struct Slot {
    Key key;
    PyObject* object = nullptr;  // owned; null marks an empty slot
  };

  static std::size_t hash(const Key& key) {
    auto mix = [](const void* p) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p)); };
    const std::uint64_t h = (mix(key.first) * 0x9E3779B97F4A7C15ULL) ^
                            (mix(key.second) * 0xC2B2AE3D27D4EB4FULL) ^ static_cast<std::uint64_t>(key.kind);
    return static_cast<std::size_t>(h >> 20U);
  }

  // Borrowed str of a core string.
  PyObject* text(const std::string* value) {
    PyObject* found = find({value, nullptr, kString});
    if (found != nullptr || PyErr_Occurred() != nullptr) return found;
    found = str_object(*value);
    if (found == nullptr || !insert({value, nullptr, kString}, found)) return nullptr;
    return found;
  }

  PyObject* find(const Key& key) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash(key) & mask; slots_[i].object != nullptr; i = (i + 1) & mask) {
      if (slots_[i].key == key) return slots_[i].object;
    }
    return nullptr;
  }

  // Takes over `object`, also when growing the table fails.
  bool insert(const Key& key, PyObject* object) {
    Ref owned(object);
    if ((used_ + 1) * 2 > slots_.size()) {
      std::vector<Slot> old(slots_.size() * 2);
      old.swap(slots_);
      for (const Slot& slot : old) {
        if (slot.object != nullptr) place(slot);
      }
    }
    place(Slot{key, owned.release()});
    ++used_;
    return true;
  }

  void place(const Slot& slot) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash(slot.key) & mask;
    while (slots_[i].object != nullptr) i = (i + 1) & mask;
    slots_[i] = slot;
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  const std::string* last_name_ = nullptr;
  const std::string* last_meaning_ = nullptr;
  PyObject* last_label_ = nullptr;
};

// A new DecodedValue holding `label` (a new reference taken over by it when
// `owned`, else borrowed and referenced anew).
PyObject* make_value(ModuleState* state, std::uint32_t descriptor, std::uint8_t flags,
                     double raw_value, std::uint64_t raw, PyObject* label) {
  auto* object = static_cast<ValueObject*>(take_from_pool(state));
  if (object == nullptr) return PyErr_NoMemory();
  PyObject_Init(reinterpret_cast<PyObject*>(object), state->decoded_value_type);
  object->raw_value = raw_value;
  object->raw = raw;
  object->label = label;
  object->descriptor = descriptor;
  object->flags = flags;
  return reinterpret_cast<PyObject*>(object);
}

std::uint8_t flags_of(bool has_raw_value, bool has_raw) {
  return static_cast<std::uint8_t>((has_raw_value ? kHasRawValue : 0) | (has_raw ? kHasRaw : 0));
}

// Converts one core item; nullptr with an exception set on failure.
PyObject* convert_item(ModuleState* state, Labels& labels, const DecodedValue& item) {
  std::uint8_t flags = flags_of(item.has_raw_value, item.has_raw);
  PyObject* label;
  if (item.raw_text) {
    label = labels.text_label(item.name, *item.raw_text);
    if (label == nullptr) return nullptr;
    flags |= kHasText;
  } else {
    label = labels.label(item.name, item.raw_meaning);
    if (label == nullptr) return nullptr;
    Py_INCREF(label);
  }
  PyObject* object = make_value(state, item.descriptor, flags, item.raw_value, item.raw, label);
  if (object == nullptr) Py_DECREF(label);
  return object;
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
  Labels labels;
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
  Labels labels;
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
        Py_INCREF(label);
        object = make_value(state, column.descriptor, flags_of(column.present[e] != 0, true),
                            column.values[e], column.raws[e], label);
        if (object == nullptr) Py_DECREF(label);
      } else {
        std::uint8_t flags = flags_of(column.numbered, false);
        PyObject* label;
        if (column.texts[e] && column.constant) {
          // One label for every subset of a constant column: a long text
          // copied per subset would turn kilobytes of data into gigabytes.
          if (!shared_text[c]) {
            shared_text[c] = Ref(labels.text_label(column.name, *column.texts[e]));
            if (!shared_text[c]) return nullptr;
          }
          label = Py_NewRef(shared_text[c].get());
          flags |= kHasText;
        } else if (column.texts[e]) {
          label = labels.text_label(column.name, *column.texts[e]);
          if (label == nullptr) return nullptr;
          flags |= kHasText;
        } else {
          label = plain[c];
          Py_INCREF(label);
        }
        const double number = column.numbered ? column.text_number(s) : 0.0;
        object = make_value(state, column.descriptor, flags, number, 0, label);
        if (object == nullptr) Py_DECREF(label);
      }
      if (object == nullptr) return nullptr;
      PyList_SetItem(list.get(), index++, object);
    }
  }
  return list.release();
}

} // namespace morvane::py
