// Owning PyObject reference: every new reference the binding takes lives in
// one of these, so no error path can leak it.
#pragma once

#include "python.hpp"

namespace morvane::py {

class Ref {
public:
  Ref() = default;
  // Takes over a new reference (nullptr allowed: a failed call).
  explicit Ref(PyObject* owned) : object_(owned) {}
  static Ref borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = other.object_;
      other.object_ = nullptr;
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const { return object_; }
  // Hands the reference to the caller (e.g. as a return value or to a
  // reference-stealing API).
  [[nodiscard]] PyObject* release() {
    PyObject* out = object_;
    object_ = nullptr;
    return out;
  }
  explicit operator bool() const { return object_ != nullptr; }

private:
  PyObject* object_ = nullptr;
};

} // namespace morvane::py
