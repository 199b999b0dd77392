// A contiguous buffer of a Python object (a numpy array), released when done
// with: a table's arrays are read and written in place, not copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../python/python.hpp"

namespace morvane::columnar_py {

class BufferView {
public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }

  // The buffer as `rows` entries of T (as many as it holds when `rows` is
  // kAny), or false with a ValueError naming `function` and `what` (or the
  // exporter's error).
  static constexpr std::size_t kAny = static_cast<std::size_t>(-1);
  template <class T>
  bool take(PyObject* object, bool writable, std::size_t rows, const char* function, const char* what,
            std::span<T>& out) {
    if (PyObject_GetBuffer(object, &view_, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) < 0) return false;
    held_ = true;
    const auto address = reinterpret_cast<std::uintptr_t>(view_.buf);
    const auto size = static_cast<std::size_t>(view_.len);
    if (rows == kAny) rows = size / sizeof(T);
    if (size != rows * sizeof(T) || address % alignof(T) != 0) {
      PyErr_Format(PyExc_ValueError, "%s() %s must be %zu aligned %zu-byte entries", function, what, rows,
                   sizeof(T));
      return false;
    }
    out = {static_cast<T*>(view_.buf), rows};
    return true;
  }

private:
  Py_buffer view_{};
  bool held_ = false;
};

} // namespace morvane::columnar_py
