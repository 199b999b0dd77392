// The TableSet class and the copies of its entries handed to Python:
// ElementDefinition and SequenceDefinition.
#include <cstdint>
#include <filesystem>
#include <new>
#include <string>
#include <utility>

#include "../core/tables/eccodes_loader.hpp"
#include "../core/tables/expansion.hpp"
#include "../core/tables/wmo_csv_loader.hpp"
#include "call_guard.hpp"
#include "module_state.hpp"
#include "pyref.hpp"
#include "record_object.hpp"

namespace morvane::py {

namespace {

using ElementObject = RecordObject<ElementDefinition>;
using SequenceObject = RecordObject<SequenceDefinition>;
using TableSetObject = RecordObject<TableSet>;

template <class T> void record_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  record_of<T>(self).~T();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}


constexpr int kMethod = METH_FASTCALL | METH_KEYWORDS;
constexpr int kClassMethod = METH_CLASS | METH_FASTCALL | METH_KEYWORDS;

// ---------------------------------------------------------------- ElementDefinition

enum class ElementField : int { code, abbreviation, element_type, name, unit, scale, reference, width };

PyObject* element_get(PyObject* self, void* closure) {
  const ElementDefinition& e = record_of<ElementDefinition>(self);
  switch (static_cast<ElementField>(reinterpret_cast<std::intptr_t>(closure))) {
  case ElementField::code: return PyLong_FromUnsignedLong(e.code);
  case ElementField::abbreviation: return str_object(e.abbreviation);
  case ElementField::element_type: return str_object(e.element_type);
  case ElementField::name: return str_object(e.name);
  case ElementField::unit: return str_object(e.unit);
  case ElementField::scale: return PyLong_FromLong(e.scale);
  case ElementField::reference: return PyLong_FromLongLong(e.reference);
  case ElementField::width: return PyLong_FromLong(e.width);
  }
  Py_RETURN_NONE;
}

PyObject* element_repr(PyObject* self) {
  const ElementDefinition& e = record_of<ElementDefinition>(self);
  return str_object("ElementDefinition(" + written_code(e.code) + ", name=" + morvane::quoted(e.name) + ")");
}

#define MORVANE_FIELD(getter, enum_type, name) \
  {#name, guard<getter>, nullptr, nullptr,     \
   reinterpret_cast<void*>(static_cast<std::intptr_t>(enum_type::name))}

PyGetSetDef element_getset[] = {
    MORVANE_FIELD(element_get, ElementField, code),
    MORVANE_FIELD(element_get, ElementField, abbreviation),
    MORVANE_FIELD(element_get, ElementField, element_type),
    MORVANE_FIELD(element_get, ElementField, name),
    MORVANE_FIELD(element_get, ElementField, unit),
    MORVANE_FIELD(element_get, ElementField, scale),
    MORVANE_FIELD(element_get, ElementField, reference),
    MORVANE_FIELD(element_get, ElementField, width),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot element_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(guard<record_dealloc<ElementDefinition>>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<element_repr>)},
    {Py_tp_getset, element_getset},
    {0, nullptr},
};

PyType_Spec element_spec = {
    "_morvane.ElementDefinition",
    sizeof(ElementObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    element_slots,
};

// ---------------------------------------------------------------- SequenceDefinition

PyObject* sequence_code(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(record_of<SequenceDefinition>(self).code);
}

// A new list on every access: changing it changes nothing in the table set.
PyObject* sequence_members(PyObject* self, void*) {
  return code_list_object(record_of<SequenceDefinition>(self).members);
}

PyObject* sequence_repr(PyObject* self) {
  const SequenceDefinition& s = record_of<SequenceDefinition>(self);
  return str_object("SequenceDefinition(" + written_code(s.code) +
                    ", members=" + code_list(s.members.data(), s.members.size()) + ")");
}

PyGetSetDef sequence_getset[] = {
    {"code", guard<sequence_code>, nullptr, nullptr, nullptr},
    {"members", guard<sequence_members>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sequence_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(guard<record_dealloc<SequenceDefinition>>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<sequence_repr>)},
    {Py_tp_getset, sequence_getset},
    {0, nullptr},
};

PyType_Spec sequence_spec = {
    "_morvane.SequenceDefinition",
    sizeof(SequenceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    sequence_slots,
};

// ---------------------------------------------------------------- TableSet

ModuleState* state_of(PyObject* self) { return state_of_type(Py_TYPE(self)); }

PyObject* table_set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_Size(args) != 0 || (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "TableSet() takes no arguments");
    return nullptr;
  }
  return wrap_record(type, TableSet());
}

bool code_from(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::uint32_t& code) {
  static constexpr const char* names[] = {"code"};
  PyObject* arg = nullptr;
  return parse_arguments(function, names, args, nargs, kwnames, &arg) &&
         u32_argument("code", arg, code);
}

PyObject* table_set_get_element(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  std::uint32_t code = 0;
  if (!code_from("get_element", args, nargs, kwnames, code)) return nullptr;
  const ElementDefinition* found = record_of<TableSet>(self).element(code);
  if (found == nullptr) Py_RETURN_NONE;
  return wrap_record(state_of(self)->element_definition_type, ElementDefinition(*found));
}

PyObject* table_set_get_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  std::uint32_t code = 0;
  if (!code_from("get_sequence", args, nargs, kwnames, code)) return nullptr;
  const SequenceDefinition* found = record_of<TableSet>(self).sequence(code);
  if (found == nullptr) Py_RETURN_NONE;
  return wrap_record(state_of(self)->sequence_definition_type, SequenceDefinition(*found));
}

PyObject* table_set_get_meaning(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static constexpr const char* names[] = {"code", "raw"};
  PyObject* argv[2] = {nullptr, nullptr};
  std::uint32_t code = 0;
  std::uint64_t raw = 0;
  if (!parse_arguments("get_meaning", names, args, nargs, kwnames, argv) ||
      !u32_argument("code", argv[0], code) || !u64_argument("raw", argv[1], raw)) {
    return nullptr;
  }
  const std::string* meaning = record_of<TableSet>(self).code_meaning(code, raw);
  if (meaning == nullptr) Py_RETURN_NONE;
  return str_object(*meaning);
}

PyObject* table_set_expand(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static constexpr const char* names[] = {"descriptors"};
  PyObject* arg = nullptr;
  std::vector<std::uint32_t> codes;
  if (!parse_arguments("expand", names, args, nargs, kwnames, &arg) ||
      !codes_argument("expand", "descriptors", arg, codes)) {
    return nullptr;
  }
  auto expanded = expand(record_of<TableSet>(self), codes);
  if (!expanded) return set_error(expanded.error());
  return code_list_object(*expanded);
}

// A str argument as a file-system path; NUL cannot be part of one.
bool path_argument(const char* function, PyObject* value, std::filesystem::path& out) {
  std::string_view text;
  if (!str_argument(function, "path", value, text)) return false;
  if (text.find('\0') != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  out = std::filesystem::path(std::string(text));
  return true;
}

PyObject* loaded(PyObject* cls, Result<TableSet>&& tables) {
  if (!tables) return set_error(tables.error());
  return wrap_record(reinterpret_cast<PyTypeObject*>(cls), std::move(*tables));
}

PyObject* table_set_from_eccodes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  static constexpr const char* names[] = {"path"};
  PyObject* arg = nullptr;
  std::filesystem::path path;
  if (!parse_arguments("from_eccodes", names, args, nargs, kwnames, &arg) ||
      !path_argument("from_eccodes", arg, path)) {
    return nullptr;
  }
  return loaded(cls, from_eccodes_dir(path));
}

PyObject* table_set_from_definitions(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  static constexpr const char* names[] = {"path", "message"};
  PyObject* argv[2] = {nullptr, nullptr};
  std::filesystem::path path;
  if (!parse_arguments("from_definitions", names, args, nargs, kwnames, argv) ||
      !path_argument("from_definitions", argv[0], path)) {
    return nullptr;
  }
  const BufrMessage* message =
      bufr_message_of(state_of_type(reinterpret_cast<PyTypeObject*>(cls)), argv[1]);
  if (message == nullptr) {
    Ref type_name(PyType_GetName(Py_TYPE(argv[1])));
    if (type_name) {
      PyErr_Format(PyExc_TypeError,
                   "from_definitions() argument 'message' must be BufrMessage, not %U",
                   type_name.get());
    }
    return nullptr;
  }
  return loaded(cls, from_eccodes_definitions(path, *message));
}

PyObject* table_set_from_bufr4_45(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static constexpr const char* names[] = {"path"};
  PyObject* arg = nullptr;
  std::filesystem::path path;
  if (!parse_arguments("from_bufr4_45", names, args, nargs, kwnames, &arg) ||
      !path_argument("from_bufr4_45", arg, path)) {
    return nullptr;
  }
  return loaded(cls, from_bufr4_45(path));
}

PyObject* table_set_element_count(PyObject* self, void*) {
  return PyLong_FromSize_t(record_of<TableSet>(self).element_count());
}

PyObject* table_set_sequence_count(PyObject* self, void*) {
  return PyLong_FromSize_t(record_of<TableSet>(self).sequence_count());
}

PyObject* table_set_repr(PyObject* self) {
  const TableSet& t = record_of<TableSet>(self);
  return str_object("TableSet(elements=" + std::to_string(t.element_count()) +
                    ", sequences=" + std::to_string(t.sequence_count()) + ")");
}

PyMethodDef table_set_methods[] = {
    {"get_element", guarded_method<table_set_get_element>(), kMethod,
     "get_element($self, code)\n--\n\n"},
    {"get_sequence", guarded_method<table_set_get_sequence>(), kMethod,
     "get_sequence($self, code)\n--\n\n"},
    {"get_meaning", guarded_method<table_set_get_meaning>(), kMethod,
     "get_meaning($self, code, raw)\n--\n\n"},
    {"expand", guarded_method<table_set_expand>(), kMethod, "expand($self, descriptors)\n--\n\n"},
    {"from_eccodes", guarded_method<table_set_from_eccodes>(), kClassMethod,
     "from_eccodes(path)\n--\n\n"},
    {"from_definitions", guarded_method<table_set_from_definitions>(), kClassMethod,
     "from_definitions(path, message)\n--\n\n"},
    {"from_bufr4_45", guarded_method<table_set_from_bufr4_45>(), kClassMethod,
     "from_bufr4_45(path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_set_getset[] = {
    {"element_count", guard<table_set_element_count>, nullptr, nullptr, nullptr},
    {"sequence_count", guard<table_set_sequence_count>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_set_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guard<table_set_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guard<record_dealloc<TableSet>>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<table_set_repr>)},
    {Py_tp_methods, table_set_methods},
    {Py_tp_getset, table_set_getset},
    {Py_tp_doc, const_cast<char*>("TableSet()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec table_set_spec = {
    "_morvane.TableSet",
    sizeof(TableSetObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    table_set_slots,
};

PyTypeObject* create_type(PyObject* module, PyType_Spec* spec) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
}

} // namespace

PyTypeObject* create_element_definition_type(PyObject* module) {
  return create_type(module, &element_spec);
}

PyTypeObject* create_sequence_definition_type(PyObject* module) {
  return create_type(module, &sequence_spec);
}

PyTypeObject* create_table_set_type(PyObject* module) {
  return create_type(module, &table_set_spec);
}

PyObject* wrap_table_set(ModuleState* state, TableSet&& tables) {
  return wrap_record(state->table_set_type, std::move(tables));
}

const TableSet* table_set_of(ModuleState* state, PyObject* object) {
  if (PyObject_TypeCheck(object, state->table_set_type) == 0) return nullptr;
  return &record_of<TableSet>(object);
}

} // namespace morvane::py
