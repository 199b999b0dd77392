// morvane._columnar.key_arrays and counts_agree: a decoded batch's wanted
// columns read in one call each, not a buffer object per column;
// whole_integers: an integer column's values made int64 in one pass.
#pragma once

#include "../python/python.hpp"

namespace morvane::columnar_py {

PyObject* key_arrays(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* counts_agree(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* whole_integers(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

} // namespace morvane::columnar_py
