// morvane._columnar.decode_items: the items of many messages as flat arrays.
#pragma once

#include "../python/python.hpp"

namespace morvane::columnar_py {

PyObject* decode_items(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

} // namespace morvane::columnar_py
