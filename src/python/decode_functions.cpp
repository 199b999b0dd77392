// expand_descriptors and the three decode functions: convert the arguments,
// frame the first message, obtain tables, decode, convert the items.
#include <array>
#include <filesystem>
#include <string>

#include "../core/data/decode.hpp"
#include "../core/tables/eccodes_loader.hpp"
#include "../core/tables/expansion.hpp"
#include "module_state.hpp"
#include "pyref.hpp"

namespace morvane::py {

namespace {

std::filesystem::path path_of(std::string_view text) {
  return std::filesystem::path(std::string(text));
}

PyObject* decode_with(ModuleState* state, const FirstMessage& first, const TableSet& tables) {
  auto data = decode_data(first.record, tables, section4_data(first.bytes, first.record));
  if (!data) return set_error(data.error());
  return decoded_value_list(state, std::move(*data));
}

} // namespace

PyObject* expand_descriptors(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr std::array<const char*, 2> names{"table_dir", "descriptors"};
  std::array<PyObject*, 2> values{};
  if (!parse_arguments("expand_descriptors", names, args, nargs, kwnames, values.data())) {
    return nullptr;
  }
  std::string_view table_dir;
  std::vector<std::uint32_t> codes;
  if (!str_argument("expand_descriptors", "table_dir", values[0], table_dir) ||
      !codes_argument("expand_descriptors", "descriptors", values[1], codes)) {
    return nullptr;
  }
  (void)module;
  auto tables = from_eccodes_dir(path_of(table_dir));
  if (!tables) return set_error(tables.error());
  auto expanded = expand(*tables, codes);
  if (!expanded) return set_error(expanded.error());
  return code_list_object(*expanded);
}

PyObject* decode_values(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static constexpr std::array<const char*, 2> names{"data", "table_dir"};
  std::array<PyObject*, 2> values{};
  if (!parse_arguments("decode_values", names, args, nargs, kwnames, values.data())) {
    return nullptr;
  }
  Bytes data;
  std::string_view table_dir;
  if (!bytes_argument("decode_values", "data", values[0], data) ||
      !str_argument("decode_values", "table_dir", values[1], table_dir)) {
    return nullptr;
  }
  auto first = select_first_message(data);
  if (!first) return set_error(first.error());
  auto tables = from_eccodes_dir(path_of(table_dir));
  if (!tables) return set_error(tables.error());
  return decode_with(module_state(module), *first, *tables);
}

PyObject* decode_values_with_tables(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  static constexpr std::array<const char*, 2> names{"data", "tables"};
  std::array<PyObject*, 2> values{};
  if (!parse_arguments("decode_values_with_tables", names, args, nargs, kwnames, values.data())) {
    return nullptr;
  }
  ModuleState* state = module_state(module);
  Bytes data;
  if (!bytes_argument("decode_values_with_tables", "data", values[0], data)) return nullptr;
  const TableSet* tables = table_set_of(state, values[1]);
  if (tables == nullptr) {
    Ref type_name(PyType_GetName(Py_TYPE(values[1])));
    if (type_name) {
      PyErr_Format(PyExc_TypeError,
                   "decode_values_with_tables() argument 'tables' must be TableSet, not %U",
                   type_name.get());
    }
    return nullptr;
  }
  // The argument keeps the table set alive until the items are converted.
  auto first = select_first_message(data);
  if (!first) return set_error(first.error());
  return decode_with(state, *first, *tables);
}

PyObject* decode_values_with_definitions(PyObject* module, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> names{"data", "definitions_root"};
  std::array<PyObject*, 2> values{};
  if (!parse_arguments("decode_values_with_definitions", names, args, nargs, kwnames,
                       values.data())) {
    return nullptr;
  }
  Bytes data;
  std::string_view root;
  if (!bytes_argument("decode_values_with_definitions", "data", values[0], data) ||
      !str_argument("decode_values_with_definitions", "definitions_root", values[1], root)) {
    return nullptr;
  }
  auto first = select_first_message(data);
  if (!first) return set_error(first.error());
  auto tables = from_eccodes_definitions(path_of(root), first->record);
  if (!tables) return set_error(tables.error());
  return decode_with(module_state(module), *first, *tables);
}

} // namespace morvane::py
