// morvane._columnar.batch_template: what a batch's columns are (the
// descriptor, key and type of each) as one bytes object, so that what
// follows from them is looked up by one object's hash rather than three
// tuples of Python objects made anew for each batch.
#pragma once

#include "../python/python.hpp"

namespace morvane::columnar_py {

PyObject* batch_template(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

} // namespace morvane::columnar_py
