// Argument conversions shared by the binding's modules: CPython's own
// wording for missing, repeated and mistyped arguments.
#include "arguments.hpp"

#include "pyref.hpp"

namespace morvane::py {

bool parse_arguments(const char* function, std::span<const char* const> names,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) {
  const auto count = static_cast<Py_ssize_t>(names.size());
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given",
                 function, count, count == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    if (key == nullptr) return false;
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, names[static_cast<std::size_t>(i)]) == 0) {
        index = i;
        break;
      }
    }
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    if (out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                   function, names[static_cast<std::size_t>(index)], index + 1);
      return false;
    }
    out[index] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", function,
                   names[static_cast<std::size_t>(i)], i + 1);
      return false;
    }
  }
  return true;
}

void type_error(const char* function, const char* name, const char* expected, PyObject* value) {
  Ref type_name(PyType_GetName(Py_TYPE(value)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", function, name, expected,
               type_name.get());
}

bool bytes_argument(const char* function, const char* name, PyObject* value,
                    std::span<const std::uint8_t>& out) {
  if (!PyBytes_Check(value)) {
    type_error(function, name, "bytes", value);
    return false;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(value, &data, &size) < 0) return false;
  out = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
  return true;
}

} // namespace morvane::py
