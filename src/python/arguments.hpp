// Argument conversions shared by the binding's modules.
#pragma once

#include <cstdint>
#include <span>

#include "python.hpp"

namespace morvane::py {

// Keyword/positional parsing for METH_FASTCALL | METH_KEYWORDS callables: all
// parameters required, positional-or-keyword. Fills `out` with borrowed
// references; on failure sets TypeError naming the function and returns false.
bool parse_arguments(const char* function, std::span<const char* const> names,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out);

// TypeError "f() argument 'name' must be EXPECTED, not TYPE".
void type_error(const char* function, const char* name, const char* expected, PyObject* value);

// A bytes argument viewed in place; TypeError for anything else.
bool bytes_argument(const char* function, const char* name, PyObject* value,
                    std::span<const std::uint8_t>& out);

} // namespace morvane::py
