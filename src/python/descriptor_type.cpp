// The Descriptor value class: F, X and Y of one descriptor.
#include "../core/descriptor.hpp"
#include "call_guard.hpp"
#include "module_state.hpp"
#include "pyref.hpp"

namespace morvane::py {

namespace {

struct DescriptorObject {
  PyObject_HEAD
  std::uint8_t f;
  std::uint8_t x;
  std::uint8_t y;
};

DescriptorObject* as_descriptor(PyObject* self) { return reinterpret_cast<DescriptorObject*>(self); }

PyObject* new_descriptor(PyTypeObject* type, Fxy fxy) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  as_descriptor(self)->f = fxy.f;
  as_descriptor(self)->x = fxy.x;
  as_descriptor(self)->y = fxy.y;
  return self;
}

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"f", "x", "y", nullptr};
  PyObject* f = nullptr;
  PyObject* x = nullptr;
  PyObject* y = nullptr;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:Descriptor", const_cast<char**>(names), &f,
                                  &x, &y) == 0) {
    return nullptr;
  }
  Fxy fxy{};
  if (!u8_argument("f", f, fxy.f) || !u8_argument("x", x, fxy.x) || !u8_argument("y", y, fxy.y)) {
    return nullptr;
  }
  return new_descriptor(type, fxy);
}

PyObject* descriptor_from_fxy(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static constexpr const char* names[] = {"code"};
  PyObject* arg = nullptr;
  std::uint32_t code = 0;
  if (!parse_arguments("from_fxy", names, args, nargs, kwnames, &arg) ||
      !u32_argument("code", arg, code)) {
    return nullptr;
  }
  return new_descriptor(reinterpret_cast<PyTypeObject*>(cls), split_code(code));
}

std::uint32_t fxy_of(PyObject* self) {
  const DescriptorObject* d = as_descriptor(self);
  return make_code(d->f, d->x, d->y);
}

PyObject* descriptor_get(PyObject* self, void* closure) {
  const DescriptorObject* d = as_descriptor(self);
  switch (reinterpret_cast<std::intptr_t>(closure)) {
  case 0: return PyLong_FromLong(d->f);
  case 1: return PyLong_FromLong(d->x);
  case 2: return PyLong_FromLong(d->y);
  default: return PyLong_FromUnsignedLong(fxy_of(self));
  }
}

PyObject* descriptor_repr(PyObject* self) {
  return str_object("Descriptor(" + written_code(fxy_of(self)) + ")");
}

void descriptor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyGetSetDef descriptor_getset[] = {
    {"f", guard<descriptor_get>, nullptr, nullptr, reinterpret_cast<void*>(0)},
    {"x", guard<descriptor_get>, nullptr, nullptr, reinterpret_cast<void*>(1)},
    {"y", guard<descriptor_get>, nullptr, nullptr, reinterpret_cast<void*>(2)},
    {"fxy", guard<descriptor_get>, nullptr, nullptr, reinterpret_cast<void*>(3)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef descriptor_methods[] = {
    {"from_fxy", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<descriptor_from_fxy>)),
     METH_CLASS | METH_FASTCALL | METH_KEYWORDS, "from_fxy(code)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guard<descriptor_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guard<descriptor_dealloc>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<descriptor_repr>)},
    {Py_tp_getset, descriptor_getset},
    {Py_tp_methods, descriptor_methods},
    {Py_tp_doc, const_cast<char*>("Descriptor(f, x, y)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec descriptor_spec = {
    "_morvane.Descriptor",
    sizeof(DescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    descriptor_slots,
};

} // namespace

PyTypeObject* create_descriptor_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &descriptor_spec, nullptr));
}

} // namespace morvane::py
