// morvane._columnar.key_levels, cut_rows and cut_subsets: read_bufr's rows
// from the keys of a template; report_times: the time of each row.
#pragma once

#include "../python/python.hpp"

namespace morvane::columnar_py {

PyObject* key_levels(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cut_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cut_subsets(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* report_times(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

} // namespace morvane::columnar_py
