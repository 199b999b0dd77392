// Column indices come as a sequence of ints; each must name a decoded column
// of the batch (IndexError, ValueError otherwise, as Batch.values says).
#include "key_arrays_function.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "../core/columnar/key_arrays.hpp"
#include "../core/columnar/whole_integers.hpp"
#include "../python/arguments.hpp"
#include "../python/pyref.hpp"
#include "buffer_view.hpp"
#include "columnar_state.hpp"

namespace morvane::columnar_py {

using py::Ref;

namespace {

bool decoded_columns(const char* function, const columnar::Batch& batch, PyObject* given,
                     std::vector<std::size_t>& out) {
  Ref sequence(PySequence_Fast(given, "columns must be a sequence of ints"));
  if (!sequence) return false;
  const Py_ssize_t count = PySequence_Size(sequence.get());
  if (count < 0) return false;
  out.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t j = 0; j < count; ++j) {
    Ref item(PySequence_GetItem(sequence.get(), j));
    if (!item) return false;
    const long long i = PyLong_AsLongLong(item.get());
    if (i == -1 && PyErr_Occurred()) return false;
    if (i < 0 || static_cast<unsigned long long>(i) >= batch.columns.size()) {
      PyErr_Format(PyExc_IndexError, "%s() column index %lld out of range 0..%zd", function, i,
                   static_cast<Py_ssize_t>(batch.columns.size()) - 1);
      return false;
    }
    if (!batch.columns[static_cast<std::size_t>(i)].decoded) {
      PyErr_Format(PyExc_ValueError, "column %lld was not decoded (other keys were asked for)", i);
      return false;
    }
    out.push_back(static_cast<std::size_t>(i));
  }
  return true;
}

} // namespace

PyObject* key_arrays(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 4> names{"batch", "columns", "numbers", "valid"};
  py::Arguments call("key_arrays", names);
  if (!call.parse(args, nargs, kwnames)) return nullptr;
  const SharedBatch* batch = batch_argument(state_of_module(module), "key_arrays", call[0]);
  std::vector<std::size_t> columns;
  if (batch == nullptr || !decoded_columns("key_arrays", **batch, call[1], columns)) return nullptr;
  const std::size_t cells = columns.size() * (*batch)->rows;
  BufferView numbers_view, valid_view;
  std::span<double> numbers;
  std::span<std::uint8_t> valid;
  if (!numbers_view.take(call[2], true, cells, "key_arrays", "numbers", numbers) ||
      !valid_view.take(call[3], true, cells, "key_arrays", "valid", valid)) {
    return nullptr;
  }
  columnar::key_arrays(**batch, columns, numbers, valid);
  Py_RETURN_NONE;
}

PyObject* counts_agree(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> names{"batch", "columns"};
  py::Arguments call("counts_agree", names);
  if (!call.parse(args, nargs, kwnames)) return nullptr;
  const SharedBatch* batch = batch_argument(state_of_module(module), "counts_agree", call[0]);
  std::vector<std::size_t> columns;
  if (batch == nullptr || !decoded_columns("counts_agree", **batch, call[1], columns)) return nullptr;
  return PyBool_FromLong(columnar::counts_agree(**batch, columns) ? 1 : 0);
}

PyObject* whole_integers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 3> names{"values", "valid", "out"};
  py::Arguments call("whole_integers", names);
  if (!call.parse(args, nargs, kwnames)) return nullptr;
  BufferView values_view, valid_view, out_view;
  std::span<const double> values;
  std::span<const std::uint8_t> valid;
  std::span<std::int64_t> out;
  if (!values_view.take(call[0], false, BufferView::kAny, "whole_integers", "values", values) ||
      !valid_view.take(call[1], false, values.size(), "whole_integers", "valid", valid) ||
      !out_view.take(call[2], true, values.size(), "whole_integers", "out", out)) {
    return nullptr;
  }
  return PyBool_FromLong(columnar::whole_integers(values, valid, out) ? 1 : 0);
}

} // namespace morvane::columnar_py
