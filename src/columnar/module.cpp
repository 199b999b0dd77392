// Module initialisation and the three functions of morvane._columnar. Every
// walk runs with the GIL released: the arguments hold the data and the
// tables alive, and the core touches no Python object.
#include <array>
#include <string>
#include <vector>

#include "../core/columnar/decode_columns.hpp"
#include "../python/arguments.hpp"
#include "../python/call_guard.hpp"
#include "../python/pyref.hpp"
#include "../python/without_gil.hpp"
#include "../python/record_object.hpp"
#include "batch_template_function.hpp"
#include "columnar_state.hpp"
#include "items.hpp"
#include "key_arrays_function.hpp"
#include "rows.hpp"

namespace morvane::columnar_py {

using py::Ref;

State* state_of_module(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

State* state_of_type(PyTypeObject* type) {
  return static_cast<State*>(PyType_GetModuleState(type));
}

PyObject* str_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* set_value_error(const BufrError& error, std::string_view prefix) {
  std::string text(prefix);
  text += error.message();
  Ref message(str_object(text));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

const TableSet* table_set_argument(State* state, const char* function, PyObject* value) {
  // The exact type only: the layout below is that of _morvane.TableSet.
  if (reinterpret_cast<PyObject*>(Py_TYPE(value)) != state->table_set_type) {
    Ref type_name(PyType_GetName(Py_TYPE(value)));
    if (type_name) {
      PyErr_Format(PyExc_TypeError, "%s() argument 'tables' must be TableSet, not %U", function,
                   type_name.get());
    }
    return nullptr;
  }
  return &py::record_of<TableSet>(value);
}

// dump_function.cpp
PyObject* dump_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dump_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

bool message_list_argument(State* state, const char* function, PyObject* value,
                           MessageList& out) {
  const std::string message = std::string(function) + "() argument 'messages' must be a sequence";
  Ref sequence(PySequence_Fast(value, message.c_str()));
  if (!sequence) return false;
  const Py_ssize_t count = PySequence_Size(sequence.get());
  if (count < 0) return false;
  out.held.reserve(static_cast<std::size_t>(count) * 2);
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref item(PySequence_GetItem(sequence.get(), i));
    if (!item) return false;
    if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 2) {
      PyErr_Format(PyExc_TypeError, "%s() item %zd must be a tuple (bytes, TableSet)", function, i);
      return false;
    }
    Ref data = Ref::borrow(PyTuple_GetItem(item.get(), 0));
    Ref table_object = Ref::borrow(PyTuple_GetItem(item.get(), 1));
    Bytes bytes;
    if (!py::bytes_argument(function, "messages", data.get(), bytes)) return false;
    const TableSet* set = table_set_argument(state, function, table_object.get());
    if (set == nullptr) return false;
    out.buffers.push_back(bytes);
    out.tables.push_back(set);
    out.held.push_back(std::move(data));
    out.held.push_back(std::move(table_object));
  }
  return true;
}

namespace {

PyObject* subset_starts(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static constexpr std::array<const char*, 2> names{"data", "tables"};
  py::Arguments call("subset_starts", names);
  if (!call.parse(args, nargs, kwnames)) return nullptr;
  State* state = state_of_module(module);
  Bytes data;
  if (!call.bytes(0, data)) return nullptr;
  const TableSet* tables = table_set_argument(state, call.function(), call[1]);
  if (tables == nullptr) return nullptr;
  Result<std::vector<std::size_t>> starts;
  {
    py::WithoutGil unlocked;
    starts = columnar::first_message_subset_starts(data, *tables);
  }
  if (!starts) return set_value_error(starts.error());
  Ref list(PyList_New(static_cast<Py_ssize_t>(starts->size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < starts->size(); ++i) {
    PyObject* item = PyLong_FromSize_t((*starts)[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* decode(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> names{"data", "tables"};
  py::Arguments call("decode", names);
  if (!call.parse(args, nargs, kwnames)) return nullptr;
  State* state = state_of_module(module);
  Bytes data;
  if (!call.bytes(0, data)) return nullptr;
  const TableSet* tables = table_set_argument(state, call.function(), call[1]);
  if (tables == nullptr) return nullptr;
  Status status;
  columnar::Batch batch;
  {
    py::WithoutGil unlocked;
    // Made and freed without the GIL too: its working tables cost more
    // than a small message's values.
    columnar::ColumnBuilder builder;
    status = columnar::add_first_message(builder, data, *tables);
    if (status) batch = std::move(builder).finish();
  }
  if (!status) return set_value_error(status.error());
  return wrap_batch(state, std::move(batch));
}

// Decodes the messages into one batch with the GIL released; errors name
// the message when there are several.
PyObject* decode_list(State* state, const MessageList& messages,
                      const std::vector<std::string>* keys) {
  const std::vector<Bytes>& buffers = messages.buffers;
  const std::vector<const TableSet*>& tables = messages.tables;
  Status status;
  std::size_t failed = 0;
  columnar::Batch batch;
  {
    py::WithoutGil unlocked;
    columnar::ColumnBuilder builder;
    if (keys != nullptr) builder.select_keys(*keys);
    std::size_t rows = 0;
    for (Bytes buffer : buffers) rows += columnar::first_message_subsets(buffer);
    builder.expect_rows(rows);
    for (std::size_t i = 0; i < buffers.size() && status; ++i) {
      status = columnar::add_first_message(builder, buffers[i], *tables[i]);
      failed = i;
    }
    if (status) batch = std::move(builder).finish();
  }
  if (!status) {
    return set_value_error(status.error(),
                           keys != nullptr && buffers.size() == 1
                               ? std::string()
                               : "message " + std::to_string(failed) + ": ");
  }
  return wrap_batch(state, std::move(batch));
}

PyObject* decode_messages(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names{"messages"};
  py::Arguments call("decode_messages", names);
  if (!call.parse(args, nargs, kwnames)) return nullptr;
  State* state = state_of_module(module);
  MessageList messages;
  if (!message_list_argument(state, call.function(), call[0], messages)) {
    return nullptr;
  }
  return decode_list(state, messages, nullptr);
}

PyObject* decode_keys(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static constexpr std::array<const char*, 2> names{"messages", "keys"};
  py::Arguments call("decode_keys", names);
  if (!call.parse(args, nargs, kwnames)) return nullptr;
  State* state = state_of_module(module);
  MessageList messages;
  if (!message_list_argument(state, call.function(), call[0], messages)) return nullptr;
  Ref iterator(PyObject_GetIter(call[1]));
  if (!iterator) return nullptr;
  std::vector<std::string> keys;
  while (Ref key{PyIter_Next(iterator.get())}) {
    if (!PyUnicode_Check(key.get())) {
      py::type_error(call.function(), call.name(1), "an iterable of str", key.get());
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key.get(), &size);
    if (text == nullptr) return nullptr;
    keys.emplace_back(text, static_cast<std::size_t>(size));
  }
  if (PyErr_Occurred()) return nullptr;
  return decode_list(state, messages, &keys);
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef module_methods[] = {
    {"subset_starts", py::guarded_method<subset_starts>(), kFast,
     "subset_starts(data, tables)\n--\n\nStart index of each subset of the first message in the "
     "flat list of its values."},
    {"decode", py::guarded_method<decode>(), kFast,
     "decode(data, tables)\n--\n\nThe first message of data as a Batch of columns."},
    {"decode_messages", py::guarded_method<decode_messages>(), kFast,
     "decode_messages(messages)\n--\n\nSeveral (bytes, TableSet) messages as one Batch."},
    {"decode_keys", py::guarded_method<decode_keys>(), kFast,
     "decode_keys(messages, keys)\n--\n\nSeveral (bytes, TableSet) messages as one Batch of "
     "element columns only. Of compressed messages only the elements named by keys (and class "
     "31) are decoded: the other columns are there without rows (Column.decoded is False)."},
    {"dump_text", py::guarded_method<dump_text>(), kFast,
     "dump_text(data, tables, write)\n--\n\nThe subsets of the first message of data as "
     "`morvane dump` shows them, passed to write in pieces of whole subsets."},
    {"dump_json", py::guarded_method<dump_json>(), kFast,
     "dump_json(data, tables, write)\n--\n\nThe subsets of the first message of data as the "
     "\"subsets\" of `morvane dump --json`, passed to write in pieces of whole subsets."},
    {"decode_items", py::guarded_method<decode_items>(), kFast,
     "decode_items(messages)\n--\n\nEvery item of several (bytes, TableSet) messages as flat "
     "arrays:\n(codes u4, values f8, present u1, subset_starts u8, message_starts u8, text, "
     "text_starts u8, failures)."},
    {"key_levels", py::guarded_method<key_levels>(), kFast,
     "key_levels(codes, names, first_level)\n--\n\nLevel (i4) of each key of a template, from "
     "codes (i8) and numbered names (i4)."},
    {"cut_rows", py::guarded_method<cut_rows>(), kFast,
     "cut_rows(names, levels, references, filters, filter_names, count_name, count_reference)\n--\n\n"
     "Rows of a template's steps: (row_starts i8, names i4, references i8)."},
    {"cut_subsets", py::guarded_method<cut_subsets>(), kFast,
     "cut_subsets(codes, code_names, outcomes, subset_starts, wanted, header_names, header_outcomes, "
     "filter_names, count_name, count_reference, first_level)\n--\n\nRows of every subset of "
     "decoded items: (row_starts i8, names i4, references i8, row_subsets u8)."},
    {"report_times", py::guarded_method<report_times>(), kFast,
     "report_times(parts, micros, exists)\n--\n\nMicroseconds since 1970 (into micros, i8) and "
     "whether there is a time (into exists, u1) of each row, from its year, month, day, hour, "
     "minute and second: parts holds for each None (no row holds it) or (values f8, held u1, "
     "valid u1), one entry per row."},
    {"key_arrays", py::guarded_method<key_arrays>(), kFast,
     "key_arrays(batch, columns, numbers, valid)\n--\n\nThe values of the given decoded columns as "
     "float64 (a text column as zeros) into numbers and their validity into valid (u1), column "
     "after column, batch.num_rows entries each."},
    {"counts_agree", py::guarded_method<counts_agree>(), kFast,
     "counts_agree(batch, columns)\n--\n\nWhether each given decoded column is valid on every "
     "row with the value of the first row."},
    {"batch_template", py::guarded_method<batch_template>(), kFast,
     "batch_template(batch)\n--\n\nWhat the batch's columns are, as bytes: per column its "
     "descriptor and key index (u4 each) and its type (u1); batches of the same tables with the "
     "same bytes have the same elements."},
    {"whole_integers", py::guarded_method<whole_integers>(), kFast,
     "whole_integers(values, valid, out)\n--\n\nWhether every valid value (f8) is a whole number "
     "of magnitude below 2**63; if so they are written into out (i8), 0 where not valid."},
    {nullptr, nullptr, 0, nullptr},
};

int add_type(PyObject* module, PyTypeObject* type, PyTypeObject*& slot) {
  if (type == nullptr) return -1;
  slot = type;
  return PyModule_AddType(module, type);
}

int module_exec(PyObject* module) {
  State* state = state_of_module(module);
  Ref morvane(PyImport_ImportModule("_morvane"));
  if (!morvane) return -1;
  state->table_set_type = PyObject_GetAttrString(morvane.get(), "TableSet");
  if (state->table_set_type == nullptr) return -1;
  if (add_type(module, create_batch_type(module), state->batch_type) < 0 ||
      add_type(module, create_column_type(module), state->column_type) < 0) {
    return -1;
  }
  state->buffer_type = create_buffer_type(module);
  if (state->buffer_type == nullptr) return -1;
  return PyModule_AddFunctions(module, module_methods);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  State* state = state_of_module(module);
  if (state == nullptr) return 0;
  Py_VISIT(state->batch_type);
  Py_VISIT(state->column_type);
  Py_VISIT(state->buffer_type);
  Py_VISIT(state->table_set_type);
  return 0;
}

int module_clear(PyObject* module) {
  State* state = state_of_module(module);
  if (state == nullptr) return 0;
  Py_CLEAR(state->batch_type);
  Py_CLEAR(state->column_type);
  Py_CLEAR(state->buffer_type);
  Py_CLEAR(state->table_set_type);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_columnar", "BUFR messages decoded into columns.", sizeof(State),
    nullptr,           module_slots, module_traverse,                      module_clear,
    module_free,
};

} // namespace

} // namespace morvane::columnar_py

PyMODINIT_FUNC PyInit__columnar(void) {
  return PyModuleDef_Init(&morvane::columnar_py::module_def);
}
