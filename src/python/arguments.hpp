// Argument conversions shared by the binding's modules.
#pragma once

#include <array>
#include <cstddef>
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

// The parameters of one call, parsed by name: conversions afterwards name
// the function and the parameter in their errors without repeating either.
template <std::size_t N> class Arguments {
public:
  Arguments(const char* function, const std::array<const char*, N>& names)
      : function_(function), names_(names) {}

  [[nodiscard]] bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return parse_arguments(function_, names_, args, nargs, kwnames, values_.data());
  }
  [[nodiscard]] PyObject* operator[](std::size_t i) const { return values_[i]; }
  [[nodiscard]] const char* function() const { return function_; }
  [[nodiscard]] const char* name(std::size_t i) const { return names_[i]; }
  [[nodiscard]] bool bytes(std::size_t i, std::span<const std::uint8_t>& out) const {
    return bytes_argument(function_, names_[i], values_[i], out);
  }

private:
  const char* function_;
  const std::array<const char*, N>& names_;
  std::array<PyObject*, N> values_{};
};

} // namespace morvane::py
