// The BufrMessage class and the four message functions.
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "call_guard.hpp"
#include "module_state.hpp"
#include "pyref.hpp"

namespace morvane::py {

namespace {

struct MessageObject {
  PyObject_HEAD
  BufrMessage record;
};

void message_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<MessageObject*>(self)->record.~BufrMessage();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

enum class Field : int {
  total_length, edition, section1_length, master_table_number, originating_centre,
  originating_subcentre, update_sequence_number, local_section_present, data_category,
  international_data_subcategory, local_data_subcategory, master_tables_version_number,
  local_tables_version_number, typical_year, typical_month, typical_day, typical_hour,
  typical_minute, typical_second, section2_length, section3_length, number_of_subsets,
  observed_data, compressed_data, unexpanded_descriptors, section4_length, section4_data_offset,
  section4_data_length,
};

PyObject* size_object(std::size_t v) { return PyLong_FromSize_t(v); }

PyObject* message_get(PyObject* self, void* closure) {
  const BufrMessage& m = reinterpret_cast<MessageObject*>(self)->record;
  switch (static_cast<Field>(reinterpret_cast<std::intptr_t>(closure))) {
  case Field::total_length: return size_object(m.total_length);
  case Field::edition: return PyLong_FromLong(m.edition);
  case Field::section1_length: return size_object(m.section1_length);
  case Field::master_table_number: return PyLong_FromLong(m.master_table_number);
  case Field::originating_centre: return PyLong_FromLong(m.originating_centre);
  case Field::originating_subcentre: return PyLong_FromLong(m.originating_subcentre);
  case Field::update_sequence_number: return PyLong_FromLong(m.update_sequence_number);
  case Field::local_section_present: return PyBool_FromLong(m.local_section_present);
  case Field::data_category: return PyLong_FromLong(m.data_category);
  case Field::international_data_subcategory:
    return PyLong_FromLong(m.international_data_subcategory);
  case Field::local_data_subcategory: return PyLong_FromLong(m.local_data_subcategory);
  case Field::master_tables_version_number: return PyLong_FromLong(m.master_tables_version_number);
  case Field::local_tables_version_number: return PyLong_FromLong(m.local_tables_version_number);
  case Field::typical_year: return PyLong_FromLong(m.typical_year);
  case Field::typical_month: return PyLong_FromLong(m.typical_month);
  case Field::typical_day: return PyLong_FromLong(m.typical_day);
  case Field::typical_hour: return PyLong_FromLong(m.typical_hour);
  case Field::typical_minute: return PyLong_FromLong(m.typical_minute);
  case Field::typical_second: return PyLong_FromLong(m.typical_second);
  case Field::section2_length: return size_object(m.section2_length);
  case Field::section3_length: return size_object(m.section3_length);
  case Field::number_of_subsets: return PyLong_FromLong(m.number_of_subsets);
  case Field::observed_data: return PyBool_FromLong(m.observed_data);
  case Field::compressed_data: return PyBool_FromLong(m.compressed_data);
  case Field::unexpanded_descriptors: return code_list_object(m.unexpanded_descriptors);
  case Field::section4_length: return size_object(m.section4_length);
  case Field::section4_data_offset: return size_object(m.section4_data_offset);
  case Field::section4_data_length: return size_object(m.section4_data_length);
  }
  Py_RETURN_NONE;
}

PyObject* message_repr(PyObject* self) {
  const BufrMessage& m = reinterpret_cast<MessageObject*>(self)->record;
  const std::string text =
      "BufrMessage(edition=" + std::to_string(m.edition) + ", length=" +
      std::to_string(m.total_length) + ", subsets=" + std::to_string(m.number_of_subsets) +
      ", descriptors=" + code_list(m.unexpanded_descriptors.data(), m.unexpanded_descriptors.size()) +
      ")";
  return str_object(text);
}

#define MESSAGE_FIELD(name) \
  {#name, guard<message_get>, nullptr, nullptr, reinterpret_cast<void*>(static_cast<std::intptr_t>(Field::name))}

PyGetSetDef message_getset[] = {
    MESSAGE_FIELD(total_length),
    MESSAGE_FIELD(edition),
    MESSAGE_FIELD(section1_length),
    MESSAGE_FIELD(master_table_number),
    MESSAGE_FIELD(originating_centre),
    MESSAGE_FIELD(originating_subcentre),
    MESSAGE_FIELD(update_sequence_number),
    MESSAGE_FIELD(local_section_present),
    MESSAGE_FIELD(data_category),
    MESSAGE_FIELD(international_data_subcategory),
    MESSAGE_FIELD(local_data_subcategory),
    MESSAGE_FIELD(master_tables_version_number),
    MESSAGE_FIELD(local_tables_version_number),
    MESSAGE_FIELD(typical_year),
    MESSAGE_FIELD(typical_month),
    MESSAGE_FIELD(typical_day),
    MESSAGE_FIELD(typical_hour),
    MESSAGE_FIELD(typical_minute),
    MESSAGE_FIELD(typical_second),
    MESSAGE_FIELD(section2_length),
    MESSAGE_FIELD(section3_length),
    MESSAGE_FIELD(number_of_subsets),
    MESSAGE_FIELD(observed_data),
    MESSAGE_FIELD(compressed_data),
    MESSAGE_FIELD(unexpanded_descriptors),
    MESSAGE_FIELD(section4_length),
    MESSAGE_FIELD(section4_data_offset),
    MESSAGE_FIELD(section4_data_length),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef MESSAGE_FIELD

PyType_Slot message_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(guard<message_dealloc>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<message_repr>)},
    {Py_tp_getset, message_getset},
    {0, nullptr},
};

PyType_Spec message_spec = {
    "_morvane.BufrMessage",
    sizeof(MessageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    message_slots,
};

// The whole file, or the platform's reason as OSError.
bool read_whole_file(std::string_view path, std::vector<std::uint8_t>& out) {
  const std::string name(path);
  // Closed on every path, a failed allocation of `out` included.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(name.c_str(), "rb"), std::fclose);
  if (!file) {
    const std::string detail = os_error_detail(errno);
    Ref text(str_object(detail));
    if (text) PyErr_SetObject(PyExc_OSError, text.get());
    return false;
  }
  out.clear();
  std::uint8_t chunk[1 << 16];
  int error = 0;
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
    out.insert(out.end(), chunk, chunk + got);
    if (got < sizeof chunk) {
      if (std::ferror(file.get()) != 0) error = errno != 0 ? errno : EIO;
      break;
    }
  }
  file.reset();
  if (error != 0) {
    Ref text(str_object(os_error_detail(error)));
    if (text) PyErr_SetObject(PyExc_OSError, text.get());
    return false;
  }
  return true;
}

PyObject* parse_one(PyObject* module, Bytes data) {
  auto parsed = parse_message(data);
  if (!parsed) return set_error(parsed.error());
  return wrap_bufr_message(module_state(module), std::move(*parsed));
}

PyObject* parse_all(PyObject* module, Bytes data) {
  auto slices = split_messages(data);
  if (!slices) return set_error(slices.error());
  ModuleState* state = module_state(module);
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const MessageSlice& slice : *slices) {
    auto parsed = parse_message(data.subspan(slice.start, slice.length));
    if (!parsed) return set_error(parsed.error());
    Ref object(wrap_bufr_message(state, std::move(*parsed)));
    if (!object || PyList_Append(list.get(), object.get()) < 0) return nullptr;
  }
  return list.release();
}

constexpr const char* kDataArgument[] = {"data"};
constexpr const char* kPathArgument[] = {"path"};

} // namespace

PyTypeObject* create_bufr_message_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &message_spec, nullptr));
}

PyObject* wrap_bufr_message(ModuleState* state, BufrMessage&& record) {
  PyTypeObject* type = state->bufr_message_type;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<MessageObject*>(self)->record) BufrMessage(std::move(record));
  return self;
}

const BufrMessage* bufr_message_of(ModuleState* state, PyObject* object) {
  if (PyObject_TypeCheck(object, state->bufr_message_type) == 0) return nullptr;
  return &reinterpret_cast<MessageObject*>(object)->record;
}

namespace {

using Framing = PyObject* (*)(PyObject*, Bytes);

// The four message functions differ only in where the bytes come from and
// whether one message or all of them are framed.
PyObject* from_bytes(const char* function, Framing framing, PyObject* module,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg = nullptr;
  Bytes data;
  if (!parse_arguments(function, kDataArgument, args, nargs, kwnames, &arg) ||
      !bytes_argument(function, "data", arg, data)) {
    return nullptr;
  }
  return framing(module, data);
}

PyObject* from_file(const char* function, Framing framing, PyObject* module,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg = nullptr;
  std::string_view path;
  if (!parse_arguments(function, kPathArgument, args, nargs, kwnames, &arg) ||
      !str_argument(function, "path", arg, path)) {
    return nullptr;
  }
  std::vector<std::uint8_t> content;
  if (!read_whole_file(path, content)) return nullptr;
  return framing(module, content);
}

} // namespace

PyObject* parse_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return from_bytes("parse_bytes", parse_one, module, args, nargs, kwnames);
}

PyObject* parse_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return from_file("parse_file", parse_one, module, args, nargs, kwnames);
}

PyObject* parse_all_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return from_bytes("parse_all_bytes", parse_all, module, args, nargs, kwnames);
}

PyObject* parse_all_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return from_file("parse_all_file", parse_all, module, args, nargs, kwnames);
}

} // namespace morvane::py
