// C++ exceptions must never unwind into the interpreter: every function that
// CPython calls runs its body through `guarded`, which turns an allocation
// failure into MemoryError and anything else into SystemError.
#pragma once

#include <exception>
#include <new>
#include <type_traits>

#include "python.hpp"

namespace morvane::py {

namespace detail {
inline void set_exception_from_current() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_SystemError, "internal error: %s", error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal error: unknown C++ exception");
  }
}
} // namespace detail

// Runs `body`; on a C++ exception sets the Python error and returns the
// failure value of the return type (nullptr, or -1 for int slots). A void
// slot (dealloc, free) has no caller to report to: the error goes to
// sys.unraisablehook.
template <class Body> auto guarded(Body&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  try {
    return body();
  } catch (...) {
    detail::set_exception_from_current();
  }
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else if constexpr (std::is_void_v<R>) {
    PyErr_WriteUnraisable(nullptr);
    return;
  } else {
    return static_cast<R>(-1);
  }
}

// The guarded form of a function, for method tables and type slots:
// `guard<f>` has the same signature as `f`.
template <auto F> struct Guard;
template <class R, class... Args, R (*F)(Args...)> struct Guard<F> {
  static R call(Args... args) noexcept {
    return guarded([&]() -> R { return F(args...); });
  }
};
template <auto F> inline constexpr auto guard = &Guard<F>::call;

// The guarded function as the PyCFunction a method table holds (the entry's
// flags tell CPython its real signature).
template <auto F> PyCFunction guarded_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<F>));
}

} // namespace morvane::py
