// Per-module state: the heap types of the module. Nothing is global.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "../core/data/decoded_value.hpp"
#include "../core/data/value_columns.hpp"
#include "../core/error.hpp"
#include "../core/message.hpp"
#include "../core/tables/table_set.hpp"
#include "arguments.hpp"
#include "python.hpp"

namespace morvane::py {

struct ModuleState {
  PyTypeObject* bufr_message_type = nullptr;
  PyTypeObject* decoded_value_type = nullptr;
  PyTypeObject* descriptor_type = nullptr;
  PyTypeObject* element_definition_type = nullptr;
  PyTypeObject* sequence_definition_type = nullptr;
  PyTypeObject* table_set_type = nullptr;
  // Internal: the shared part of DecodedValue objects (value_label.hpp).
  PyTypeObject* value_label_type = nullptr;
  // The module itself, borrowed: labels take their own reference to it.
  PyObject* module = nullptr;
  // Freed DecodedValue objects kept for reuse (decoded_value_type.cpp).
  void* value_pool = nullptr;
  std::size_t value_pool_size = 0;
  bool value_pool_closed = false;
};

ModuleState* module_state(PyObject* module);
// The state of the module that created a heap type of this module.
ModuleState* state_of_type(PyTypeObject* type);

// Each class family creates its type with PyType_FromModuleAndSpec and stores
// it in the state; registration on the module is done by module init, in order.
PyTypeObject* create_bufr_message_type(PyObject* module);
PyTypeObject* create_decoded_value_type(PyObject* module);
PyTypeObject* create_descriptor_type(PyObject* module);
PyTypeObject* create_element_definition_type(PyObject* module);
PyTypeObject* create_sequence_definition_type(PyObject* module);
PyTypeObject* create_table_set_type(PyObject* module);
PyTypeObject* create_value_label_type(PyObject* module);  // not added to the module

// Raises the BufrError as ValueError with its message; returns nullptr so a
// caller can `return set_error(...)`.
PyObject* set_error(const BufrError& error);

// Argument converters: on failure they set TypeError/OverflowError naming the
// argument and return false.
bool str_argument(const char* function, const char* name, PyObject* value, std::string_view& out);
bool u32_argument(const char* name, PyObject* value, std::uint32_t& out);
bool u64_argument(const char* name, PyObject* value, std::uint64_t& out);
bool u8_argument(const char* name, PyObject* value, std::uint8_t& out);
// A non-str sequence of ints in 0..4294967295.
bool codes_argument(const char* function, const char* name, PyObject* value,
                    std::vector<std::uint32_t>& out);

// Python list of ints from codes; nullptr with an exception set on failure.
PyObject* code_list_object(std::span<const std::uint32_t> codes);

// Small-object helpers: a new str from UTF-8 (replacement on invalid bytes).
PyObject* str_object(std::string_view text);

// Core records into new Python objects of this module's types, and back.
PyObject* wrap_bufr_message(ModuleState* state, BufrMessage&& record);
const BufrMessage* bufr_message_of(ModuleState* state, PyObject* object);  // nullptr if not one
PyObject* wrap_table_set(ModuleState* state, TableSet&& tables);
const TableSet* table_set_of(ModuleState* state, PyObject* object);  // nullptr if not one
// The decoded items become a list of DecodedValue objects; `values` point into
// tables that are still alive during this call.
PyObject* decoded_value_list(ModuleState* state, std::vector<DecodedValue>&& values);
// The same from a decode's own shape: compressed columns are turned into
// objects subset by subset without an intermediate flat list.
PyObject* decoded_value_list(ModuleState* state, DecodedData&& data);
// Frees the kept DecodedValue memory; later objects are freed directly.
void release_value_pool(ModuleState* state);

// Module functions (METH_FASTCALL | METH_KEYWORDS), in registration order.
PyObject* parse_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* parse_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* parse_all_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* parse_all_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* expand_descriptors(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* decode_values(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* decode_values_with_tables(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* decode_values_with_definitions(PyObject* module, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames);

} // namespace morvane::py
