// Arrays come and go as bytes of native integers (numpy's tobytes and
// frombuffer on the Python side), except for report_times, which reads and
// writes the arrays of a whole table in place; a length that is not a whole
// number of entries, or arrays that do not line up, are a ValueError.
#include "rows.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "../core/columnar/report_time.hpp"
#include "../core/columnar/row_cut.hpp"
#include "../python/arguments.hpp"
#include "../python/pyref.hpp"
#include "../python/without_gil.hpp"
#include "buffer_view.hpp"

namespace morvane::columnar_py {

using py::Ref;

namespace {

// Argument `i` as native entries of T.
template <class T, std::size_t N>
bool array_argument(const py::Arguments<N>& call, std::size_t i, std::vector<T>& out) {
  std::span<const std::uint8_t> bytes;
  if (!call.bytes(i, bytes)) return false;
  if (bytes.size() % sizeof(T) != 0) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must hold whole %zu-byte entries",
                 call.function(), call.name(i), sizeof(T));
    return false;
  }
  out.resize(bytes.size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), bytes.size());
  return true;
}

template <class T> PyObject* bytes_of(const std::vector<T>& values) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

template <std::size_t N>
bool long_argument(const py::Arguments<N>& call, std::size_t i, long long& out) {
  out = PyLong_AsLongLong(call[i]);
  if (out == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int", call.function(), call.name(i));
    return false;
  }
  return true;
}

} // namespace

PyObject* key_levels(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 3> names{"codes", "names", "first_level"};
  py::Arguments call("key_levels", names);
  std::vector<std::int64_t> codes;
  std::vector<std::int32_t> key_names;
  long long first_level = 0;
  if (!call.parse(args, nargs, kwnames) || !array_argument(call, 0, codes) ||
      !array_argument(call, 1, key_names) || !long_argument(call, 2, first_level)) {
    return nullptr;
  }
  if (codes.size() != key_names.size()) {
    PyErr_SetString(PyExc_ValueError, "key_levels() codes and names differ in length");
    return nullptr;
  }
  return bytes_of(columnar::key_levels(codes, key_names, static_cast<std::int32_t>(first_level)));
}

PyObject* cut_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 7> names{
      "names", "levels", "references", "filters", "filter_names", "count_name", "count_reference"};
  py::Arguments call("cut_rows", names);
  std::vector<std::int32_t> step_names, levels, filter_names;
  std::vector<std::int64_t> references;
  std::vector<std::uint8_t> filters;
  long long count_name = -1, count_reference = 0;
  if (!call.parse(args, nargs, kwnames) || !array_argument(call, 0, step_names) ||
      !array_argument(call, 1, levels) || !array_argument(call, 2, references) ||
      !array_argument(call, 3, filters) || !array_argument(call, 4, filter_names) ||
      !long_argument(call, 5, count_name) || !long_argument(call, 6, count_reference)) {
    return nullptr;
  }
  const std::size_t n = step_names.size();
  if (levels.size() != n || references.size() != n || filters.size() != n) {
    PyErr_SetString(PyExc_ValueError, "cut_rows() names, levels, references and filters differ in length");
    return nullptr;
  }
  std::vector<columnar::RowStep> steps(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (filters[i] > 2) {
      PyErr_SetString(PyExc_ValueError, "cut_rows() filters must be 0 (none), 1 (passed) or 2 (failed)");
      return nullptr;
    }
    steps[i] = {step_names[i], levels[i], references[i], static_cast<columnar::FilterOutcome>(filters[i])};
  }
  columnar::CutRows rows = columnar::cut_rows(steps, filter_names, static_cast<std::int32_t>(count_name),
                                              count_reference);
  Ref parts[] = {Ref(bytes_of(rows.row_starts)), Ref(bytes_of(rows.names)),
                 Ref(bytes_of(rows.references))};
  for (const Ref& part : parts) {
    if (!part) return nullptr;
  }
  return PyTuple_Pack(3, parts[0].get(), parts[1].get(), parts[2].get());
}

PyObject* cut_subsets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 11> names{
      "codes",        "code_names",     "outcomes",   "subset_starts",   "wanted", "header_names",
      "header_outcomes", "filter_names", "count_name", "count_reference", "first_level"};
  py::Arguments call("cut_subsets", names);
  std::vector<std::uint32_t> codes;
  std::vector<std::int32_t> code_names, header_names, filter_names;
  std::vector<std::uint8_t> outcomes, wanted, header_outcomes;
  std::vector<std::uint64_t> subset_starts;
  long long count_name = -1, count_reference = 0, first_level = 1;
  if (!call.parse(args, nargs, kwnames) || !array_argument(call, 0, codes) ||
      !array_argument(call, 1, code_names) || !array_argument(call, 2, outcomes) ||
      !array_argument(call, 3, subset_starts) || !array_argument(call, 4, wanted) ||
      !array_argument(call, 5, header_names) || !array_argument(call, 6, header_outcomes) ||
      !array_argument(call, 7, filter_names) || !long_argument(call, 8, count_name) ||
      !long_argument(call, 9, count_reference) || !long_argument(call, 10, first_level)) {
    return nullptr;
  }
  columnar::SubsetItems items{codes, code_names, outcomes, subset_starts, wanted, header_names,
                              header_outcomes, static_cast<std::int32_t>(first_level)};
  columnar::SubsetRows rows;
  bool fits = false;
  {
    py::WithoutGil unlocked;
    fits = columnar::cut_subsets(items, filter_names, static_cast<std::int32_t>(count_name),
                                 count_reference, rows);
  }
  if (!fits) {
    PyErr_SetString(PyExc_ValueError, "cut_subsets() arrays do not line up");
    return nullptr;
  }
  Ref parts[] = {Ref(bytes_of(rows.rows.row_starts)), Ref(bytes_of(rows.rows.names)),
                 Ref(bytes_of(rows.rows.references)), Ref(bytes_of(rows.row_subsets))};
  for (const Ref& part : parts) {
    if (!part) return nullptr;
  }
  return PyTuple_Pack(4, parts[0].get(), parts[1].get(), parts[2].get(), parts[3].get());
}

PyObject* report_times(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 3> names{"parts", "micros", "exists"};
  py::Arguments call("report_times", names);
  if (!call.parse(args, nargs, kwnames)) return nullptr;
  PyObject* given = call[0];
  if (!PyTuple_Check(given) || PyTuple_Size(given) != static_cast<Py_ssize_t>(columnar::kTimeParts)) {
    PyErr_SetString(PyExc_TypeError, "report_times() parts must be a tuple of six entries");
    return nullptr;
  }
  BufferView micros_view, exists_view;
  std::span<std::int64_t> micros;
  std::span<std::uint8_t> exists;
  if (!micros_view.take(call[1], true, BufferView::kAny, "report_times", "micros", micros)) return nullptr;
  const std::size_t rows = micros.size();
  if (!exists_view.take(call[2], true, rows, "report_times", "exists", exists)) return nullptr;
  // A part no row holds reads as zeros (made only when one is missing).
  std::vector<double> no_values;
  std::vector<std::uint8_t> no_flags;
  std::array<BufferView, 3 * columnar::kTimeParts> views;
  columnar::TimeParts parts;
  for (std::size_t p = 0; p < columnar::kTimeParts; ++p) {
    PyObject* part = PyTuple_GetItem(given, static_cast<Py_ssize_t>(p));
    if (part == nullptr) return nullptr;
    if (part == Py_None) {
      no_values.resize(rows);
      no_flags.resize(rows);
      parts.values[p] = no_values;
      parts.held[p] = no_flags;
      parts.valid[p] = no_flags;
      continue;
    }
    if (!PyTuple_Check(part) || PyTuple_Size(part) != 3) {
      PyErr_SetString(PyExc_TypeError, "report_times() parts must be None or (values, held, valid)");
      return nullptr;
    }
    std::span<const double> numbers;
    std::span<const std::uint8_t> held, valid;
    if (!views[3 * p].take(PyTuple_GetItem(part, 0), false, rows, "report_times", "values", numbers) ||
        !views[3 * p + 1].take(PyTuple_GetItem(part, 1), false, rows, "report_times", "held", held) ||
        !views[3 * p + 2].take(PyTuple_GetItem(part, 2), false, rows, "report_times", "valid", valid)) {
      return nullptr;
    }
    parts.values[p] = numbers;
    parts.held[p] = held;
    parts.valid[p] = valid;
  }
  {
    py::WithoutGil unlocked;
    columnar::report_times(parts, micros, exists);
  }
  Py_RETURN_NONE;
}

} // namespace morvane::columnar_py
