// The layout of the binding's record classes (TableSet, ElementDefinition,
// SequenceDefinition): the object header followed by the core record. Shared
// with morvane._columnar, which reads a _morvane.TableSet through it after
// checking the exact type.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "python.hpp"

namespace morvane::py {

template <class T> struct RecordObject {
  PyObject_HEAD
  T record;
};

template <class T> T& record_of(PyObject* self) {
  return reinterpret_cast<RecordObject<T>*>(self)->record;
}

// New instance of `type` holding `record`; nullptr with an exception set.
template <class T> PyObject* wrap_record(PyTypeObject* type, T&& record) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<RecordObject<std::remove_cvref_t<T>>*>(self)->record)
      std::remove_cvref_t<T>(std::forward<T>(record));
  return self;
}

} // namespace morvane::py
