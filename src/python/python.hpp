// The one place that includes Python.h: the binding targets the stable ABI of
// CPython 3.12, so one wheel serves every later CPython.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
