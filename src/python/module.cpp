// Module initialisation and the argument conversions every callable shares.
#include <array>
#include <limits>

#include "call_guard.hpp"
#include "module_state.hpp"
#include "pyref.hpp"

namespace morvane::py {

ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

ModuleState* state_of_type(PyTypeObject* type) {
  return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

PyObject* set_error(const BufrError& error) {
  const std::string text = error.message();
  Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

PyObject* str_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

namespace {


bool unsigned_argument(const char* name, PyObject* value, unsigned long long max,
                       unsigned long long& out) {
  if (!PyLong_Check(value)) {
    Ref type_name(PyType_GetName(Py_TYPE(value)));
    if (type_name) {
      PyErr_Format(PyExc_TypeError, "argument '%s' must be int, not %U", name, type_name.get());
    }
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(value);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_OverflowError, "argument '%s' is out of range 0..%llu", name, max);
    }
    return false;
  }
  if (v > max) {
    PyErr_Format(PyExc_OverflowError, "argument '%s' is out of range 0..%llu", name, max);
    return false;
  }
  out = v;
  return true;
}

} // namespace


bool str_argument(const char* function, const char* name, PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value)) {
    type_error(function, name, "str", value);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return false;
  out = {data, static_cast<std::size_t>(size)};
  return true;
}

bool u32_argument(const char* name, PyObject* value, std::uint32_t& out) {
  unsigned long long v = 0;
  if (!unsigned_argument(name, value, std::numeric_limits<std::uint32_t>::max(), v)) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool u64_argument(const char* name, PyObject* value, std::uint64_t& out) {
  unsigned long long v = 0;
  if (!unsigned_argument(name, value, std::numeric_limits<std::uint64_t>::max(), v)) return false;
  out = v;
  return true;
}

bool u8_argument(const char* name, PyObject* value, std::uint8_t& out) {
  unsigned long long v = 0;
  if (!unsigned_argument(name, value, std::numeric_limits<std::uint8_t>::max(), v)) return false;
  out = static_cast<std::uint8_t>(v);
  return true;
}

bool codes_argument(const char* function, const char* name, PyObject* value,
                    std::vector<std::uint32_t>& out) {
  if (PyUnicode_Check(value) || !PySequence_Check(value)) {
    type_error(function, name, "a sequence of int", value);
    return false;
  }
  const Py_ssize_t size = PySequence_Size(value);
  if (size < 0) return false;
  out.clear();
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    Ref item(PySequence_GetItem(value, i));
    if (!item) return false;
    if (!PyLong_Check(item.get())) {
      Ref type_name(PyType_GetName(Py_TYPE(item.get())));
      if (type_name) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must hold ints, not %U", function, name,
                     type_name.get());
      }
      return false;
    }
    std::uint32_t code = 0;
    if (!u32_argument(name, item.get(), code)) return false;
    out.push_back(code);
  }
  return true;
}

PyObject* code_list_object(std::span<const std::uint32_t> codes) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(codes.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLong(codes[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

namespace {

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef module_methods[] = {
    {"parse_bytes", guarded_method<parse_bytes>(), kFast, "parse_bytes(data)\n--\n\n"},
    {"parse_file", guarded_method<parse_file>(), kFast, "parse_file(path)\n--\n\n"},
    {"parse_all_bytes", guarded_method<parse_all_bytes>(), kFast, "parse_all_bytes(data)\n--\n\n"},
    {"parse_all_file", guarded_method<parse_all_file>(), kFast, "parse_all_file(path)\n--\n\n"},
    {"expand_descriptors", guarded_method<expand_descriptors>(), kFast,
     "expand_descriptors(table_dir, descriptors)\n--\n\n"},
    {"decode_values", guarded_method<decode_values>(), kFast, "decode_values(data, table_dir)\n--\n\n"},
    {"decode_values_with_tables", guarded_method<decode_values_with_tables>(), kFast,
     "decode_values_with_tables(data, tables)\n--\n\n"},
    {"decode_values_with_definitions", guarded_method<decode_values_with_definitions>(), kFast,
     "decode_values_with_definitions(data, definitions_root)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int add_type(PyObject* module, PyTypeObject* type, PyTypeObject*& slot) {
  if (type == nullptr) return -1;
  slot = type;  // the state owns this reference
  return PyModule_AddType(module, type);
}

int module_exec(PyObject* module) {
  ModuleState* state = module_state(module);
  state->module = module;
  state->value_label_type = create_value_label_type(module);
  if (state->value_label_type == nullptr) return -1;
  if (add_type(module, create_bufr_message_type(module), state->bufr_message_type) < 0 ||
      add_type(module, create_decoded_value_type(module), state->decoded_value_type) < 0 ||
      add_type(module, create_descriptor_type(module), state->descriptor_type) < 0 ||
      add_type(module, create_element_definition_type(module),
               state->element_definition_type) < 0 ||
      add_type(module, create_sequence_definition_type(module),
               state->sequence_definition_type) < 0 ||
      add_type(module, create_table_set_type(module), state->table_set_type) < 0) {
    return -1;
  }
  // Functions join after the classes so the module lists them in that order.
  return PyModule_AddFunctions(module, module_methods);
}

template <class F> void visit_types(ModuleState* state, F&& f) {
  f(state->bufr_message_type);
  f(state->decoded_value_type);
  f(state->descriptor_type);
  f(state->element_definition_type);
  f(state->sequence_definition_type);
  f(state->table_set_type);
  f(state->value_label_type);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = module_state(module);
  if (state == nullptr) return 0;
  int result = 0;
  visit_types(state, [&](PyTypeObject* type) {
    if (result == 0 && type != nullptr) result = visit(reinterpret_cast<PyObject*>(type), arg);
  });
  return result;
}

int module_clear(PyObject* module) {
  ModuleState* state = module_state(module);
  if (state == nullptr) return 0;
  visit_types(state, [](PyTypeObject*& type) { Py_CLEAR(type); });
  release_value_pool(state);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(guard<module_exec>)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_morvane",
    "",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    guard<module_traverse>,
    guard<module_clear>,
    guard<module_free>,
};

} // namespace

} // namespace morvane::py

PyMODINIT_FUNC PyInit__morvane(void) { return PyModuleDef_Init(&morvane::py::module_def); }
