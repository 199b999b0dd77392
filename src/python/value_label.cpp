// The label type and the per-conversion cache of labels.
#include "value_label.hpp"

#include "call_guard.hpp"
#include "pyref.hpp"

namespace morvane::py {

namespace {

void label_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  ValueLabel* label = as_label(self);
  Py_DECREF(label->name);
  Py_DECREF(label->second);
  PyObject* module = label->module;
  PyObject_Free(self);
  // Last: this may be the final reference to the module and so to the type.
  Py_DECREF(type);
  Py_DECREF(module);
}

PyType_Slot label_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(guard<label_dealloc>)},
    {0, nullptr},
};

PyType_Spec label_spec = {
    "_morvane.DecodedValueLabel",
    sizeof(ValueLabel),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    label_slots,
};

// A new label taking new references to `name` and `second`.
PyObject* new_label(ModuleState* state, PyObject* name, PyObject* second) {
  auto* label = static_cast<ValueLabel*>(PyObject_Malloc(sizeof(ValueLabel)));
  if (label == nullptr) return PyErr_NoMemory();
  PyObject_Init(reinterpret_cast<PyObject*>(label), state->value_label_type);
  label->name = Py_NewRef(name);
  label->second = Py_NewRef(second);
  label->module = Py_NewRef(state->module);
  label->state = state;
  return reinterpret_cast<PyObject*>(label);
}

// Addresses share their low and high bits; every bit of both must reach the
// slot index, or neighbouring strings pile up in one run of slots.
std::size_t hash_of(const void* first, const void* second, int kind) {
  std::uint64_t h = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(first));
  h = h * 0x9E3779B97F4A7C15ULL + static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(second));
  h = (h ^ (h >> 31U)) * 0xBF58476D1CE4E5B9ULL + static_cast<std::uint64_t>(kind);
  h = (h ^ (h >> 27U)) * 0x94D049BB133111EBULL;
  return static_cast<std::size_t>(h ^ (h >> 31U));
}

} // namespace

PyTypeObject* create_value_label_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &label_spec, nullptr));
}

Labels::~Labels() {
  for (const Slot& slot : slots_) Py_XDECREF(slot.object);
}

PyObject* Labels::label_slow(const std::string* name, const std::string* meaning) {
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
    found = new_label(state_, name_str, second);
    if (found == nullptr || !insert({name, meaning, kLabel}, found)) return nullptr;
  }
  recent_[recent_index(name, meaning)] = Recent{name, meaning, found};
  return found;
}

PyObject* Labels::text_label(const std::string* name, const std::string& value) {
  PyObject* name_str = text(name);
  if (name_str == nullptr) return nullptr;
  // The IA5 decoding leaves only ASCII.
  Ref text_str(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
  if (!text_str) return nullptr;
  return new_label(state_, name_str, text_str.get());
}

// Borrowed str of a core string.
PyObject* Labels::text(const std::string* value) {
  PyObject* found = find({value, nullptr, kString});
  if (found != nullptr || PyErr_Occurred() != nullptr) return found;
  found = str_object(*value);
  if (found == nullptr || !insert({value, nullptr, kString}, found)) return nullptr;
  return found;
}

PyObject* Labels::find(const Key& key) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash_of(key.first, key.second, key.kind) & mask; slots_[i].object != nullptr;
       i = (i + 1) & mask) {
    if (slots_[i].key == key) return slots_[i].object;
  }
  return nullptr;
}

// Takes over `object`, also when growing the table fails.
bool Labels::insert(const Key& key, PyObject* object) {
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

void Labels::place(const Slot& slot) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash_of(slot.key.first, slot.key.second, slot.key.kind) & mask;
  while (slots_[i].object != nullptr) i = (i + 1) & mask;
  slots_[i] = slot;
}

} // namespace morvane::py
