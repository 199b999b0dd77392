// Batch, Column and the buffer objects that lend a column's arrays to NumPy
// (or anything that reads the buffer protocol) without copying.
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <unordered_map>

#include "../core/error.hpp"
#include "../python/call_guard.hpp"
#include "../python/pyref.hpp"
#include "../python/without_gil.hpp"
#include "columnar_state.hpp"

namespace morvane::columnar_py {

using py::Ref;

namespace {

// Column positions by name, made on the first look-up: a caller looking up
// every column of a sounding by name would otherwise scan them all each time.
using NameIndex = std::unordered_map<std::string, std::size_t>;

// The batch is immutable once built and shared by every object lent from it.
struct BatchObject {
  PyObject_HEAD
  SharedBatch batch;
  std::unique_ptr<NameIndex> names;
};

struct ColumnObject {
  PyObject_HEAD
  SharedBatch batch;
  std::size_t index;
};

enum class BufferPart : std::uint8_t { Values, Valid };

struct BufferObject {
  PyObject_HEAD
  SharedBatch batch;
  std::size_t index;
  BufferPart part;
  Py_ssize_t shape[1];
  Py_ssize_t strides[1];
};

template <class T> T* as(PyObject* self) { return reinterpret_cast<T*>(self); }

// The last reference to a large batch frees it with the GIL released: a
// sounding's thousands of columns take a fifth as long to free as to decode,
// time other threads could use. A small batch is freed at once, for less
// than a hand-over of the GIL would cost.
bool large(const columnar::Batch& batch) {
  constexpr std::size_t kLargeColumns = 256;
  constexpr std::size_t kLargeCells = std::size_t{1} << 16U;
  return batch.columns.size() >= kLargeColumns || batch.columns.size() * batch.rows >= kLargeCells;
}

// `names`: the batch's name index, if any, freed with it.
void release(SharedBatch& shared, std::unique_ptr<NameIndex>* names = nullptr) {
  const columnar::Batch* batch = shared.get();
  if (batch != nullptr && shared.use_count() == 1 && large(*batch)) {
    py::WithoutGil unlocked;
    if (names != nullptr) names->reset();
    shared.reset();
  }
}

template <class T> void shared_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if constexpr (std::is_same_v<T, BatchObject>) {
    release(as<T>(self)->batch, &as<T>(self)->names);
  } else {
    release(as<T>(self)->batch);
  }
  as<T>(self)->batch.~SharedBatch();
  if constexpr (std::is_same_v<T, BatchObject>) as<T>(self)->names.~unique_ptr();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

template <class T> T* allocate(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as<T>(self)->batch) SharedBatch();
  if constexpr (std::is_same_v<T, BatchObject>) new (&as<T>(self)->names) std::unique_ptr<NameIndex>();
  return as<T>(self);
}

template <auto F> void* slot() { return reinterpret_cast<void*>(py::guard<F>); }

// ---------------------------------------------------------------- buffers

// A non-null address for empty arrays.
std::int64_t empty_storage = 0;

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "column buffers are read-only");
    return -1;
  }
  BufferObject* buffer = as<BufferObject>(self);
  const columnar::ColumnValues& values = buffer->batch->columns[buffer->index].values;
  const void* data = nullptr;
  Py_ssize_t itemsize = 1;
  const char* format = "?";
  if (buffer->part == BufferPart::Valid) {
    data = values.valid.data();
  } else if (values.type == columnar::ColumnType::Int64) {
    data = values.words.data();
    itemsize = 8;
    format = "q";
  } else {
    data = values.words.data();
    itemsize = 8;
    format = "d";
  }
  const auto rows = static_cast<Py_ssize_t>(values.rows());
  buffer->shape[0] = rows;
  buffer->strides[0] = itemsize;
  view->buf = const_cast<void*>(data == nullptr ? &empty_storage : data);
  view->obj = Py_NewRef(self);
  view->len = rows * itemsize;
  view->itemsize = itemsize;
  view->readonly = 1;
  view->ndim = 1;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(format) : nullptr;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? buffer->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? buffer->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void buffer_release(PyObject*, Py_buffer*) {}

PyType_Slot buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(shared_dealloc<BufferObject>)},
    {Py_bf_getbuffer, slot<buffer_get>()},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(buffer_release)},
    {0, nullptr},
};

PyType_Spec buffer_spec = {
    "morvane._columnar.ColumnBuffer",
    sizeof(BufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    buffer_slots,
};

PyObject* new_buffer(State* state, const SharedBatch& batch, std::size_t index, BufferPart part) {
  BufferObject* buffer = allocate<BufferObject>(state->buffer_type);
  if (buffer == nullptr) return nullptr;
  buffer->batch = batch;
  buffer->index = index;
  buffer->part = part;
  return reinterpret_cast<PyObject*>(buffer);
}

// ---------------------------------------------------------------- Column

enum class ColumnField : int {
  name, key, rank, descriptor, element_name, unit, type, role, qualifies, decoded
};

PyObject* column_get(PyObject* self, void* closure) {
  ColumnObject* object = as<ColumnObject>(self);
  const columnar::Batch& batch = *object->batch;
  const columnar::Column& c = batch.columns[object->index];
  switch (static_cast<ColumnField>(reinterpret_cast<std::intptr_t>(closure))) {
  case ColumnField::name: return str_object(batch.name(c));
  case ColumnField::key: return str_object(batch.key(c));
  case ColumnField::rank: return PyLong_FromUnsignedLong(c.rank);
  case ColumnField::descriptor: return PyLong_FromUnsignedLong(c.descriptor);
  case ColumnField::element_name: return str_object(batch.element_name(c));
  case ColumnField::unit: return str_object(batch.unit(c));
  case ColumnField::type: return PyUnicode_FromString(columnar::type_name(c.values.type));
  case ColumnField::role: return PyUnicode_FromString(columnar::role_name(c.role));
  case ColumnField::qualifies: return PyLong_FromLongLong(c.qualifies);
  case ColumnField::decoded: return PyBool_FromLong(c.decoded ? 1 : 0);
  }
  Py_RETURN_NONE;
}

PyObject* column_repr(PyObject* self) {
  ColumnObject* object = as<ColumnObject>(self);
  const columnar::Column& c = object->batch->columns[object->index];
  return str_object("Column(" + object->batch->name(c) + ", " + written_code(c.descriptor) + ", " +
                    columnar::type_name(c.values.type) + ", " + columnar::role_name(c.role) + ")");
}

#define MORVANE_COLUMN_FIELD(name) \
  {#name, py::guard<column_get>, nullptr, nullptr, \
   reinterpret_cast<void*>(static_cast<std::intptr_t>(ColumnField::name))}

PyGetSetDef column_getset[] = {
    MORVANE_COLUMN_FIELD(name),       MORVANE_COLUMN_FIELD(key),  MORVANE_COLUMN_FIELD(rank),
    MORVANE_COLUMN_FIELD(descriptor), MORVANE_COLUMN_FIELD(element_name),
    MORVANE_COLUMN_FIELD(unit),       MORVANE_COLUMN_FIELD(type), MORVANE_COLUMN_FIELD(role),
    MORVANE_COLUMN_FIELD(qualifies),  MORVANE_COLUMN_FIELD(decoded),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot column_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(shared_dealloc<ColumnObject>)},
    {Py_tp_repr, slot<column_repr>()},
    {Py_tp_getset, column_getset},
    {0, nullptr},
};

PyType_Spec column_spec = {
    "morvane._columnar.Column",
    sizeof(ColumnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    column_slots,
};

// ---------------------------------------------------------------- Batch

State* batch_state(PyObject* self) { return state_of_type(Py_TYPE(self)); }

const SharedBatch& batch_of(PyObject* self) { return as<BatchObject>(self)->batch; }

// Column index argument: an int in range, else IndexError/TypeError.
bool column_index(PyObject* self, PyObject* value, std::size_t& out) {
  if (!PyLong_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "column index must be int");
    return false;
  }
  const long long i = PyLong_AsLongLong(value);
  if (i == -1 && PyErr_Occurred()) return false;
  const std::size_t count = batch_of(self)->columns.size();
  if (i < 0 || static_cast<unsigned long long>(i) >= count) {
    PyErr_Format(PyExc_IndexError, "column index %lld out of range 0..%zd", i,
                 static_cast<Py_ssize_t>(count) - 1);
    return false;
  }
  out = static_cast<std::size_t>(i);
  return true;
}

PyObject* batch_num_rows(PyObject* self, void*) { return PyLong_FromSize_t(batch_of(self)->rows); }

PyObject* batch_num_columns(PyObject* self, void*) {
  return PyLong_FromSize_t(batch_of(self)->columns.size());
}

PyObject* batch_message_rows(PyObject* self, void*) {
  const auto& rows = batch_of(self)->message_rows;
  Ref list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyObject* item = PyLong_FromSize_t(rows[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* batch_columns(PyObject* self, void*) {
  State* state = batch_state(self);
  const SharedBatch& batch = batch_of(self);
  Ref list(PyList_New(static_cast<Py_ssize_t>(batch->columns.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < batch->columns.size(); ++i) {
    ColumnObject* column = allocate<ColumnObject>(state->column_type);
    if (column == nullptr) return nullptr;
    column->batch = batch;
    column->index = i;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), reinterpret_cast<PyObject*>(column));
  }
  return list.release();
}

// Descriptor, key and type of every column, as three tuples: read column by
// column, each would make a Column object first.
PyObject* batch_elements(PyObject* self, void*) {
  const columnar::Batch& batch = *batch_of(self);
  const auto count = static_cast<Py_ssize_t>(batch.columns.size());
  Ref descriptors(PyTuple_New(count));
  Ref keys(PyTuple_New(count));
  Ref types(PyTuple_New(count));
  if (!descriptors || !keys || !types) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const columnar::Column& c = batch.columns[static_cast<std::size_t>(i)];
    PyObject* descriptor = PyLong_FromUnsignedLong(c.descriptor);
    if (descriptor == nullptr) return nullptr;
    PyTuple_SetItem(descriptors.get(), i, descriptor);
    PyObject* key = str_object(batch.key(c));
    if (key == nullptr) return nullptr;
    PyTuple_SetItem(keys.get(), i, key);
    PyObject* type = PyUnicode_FromString(columnar::type_name(c.values.type));
    if (type == nullptr) return nullptr;
    PyTuple_SetItem(types.get(), i, type);
  }
  return PyTuple_Pack(3, descriptors.get(), keys.get(), types.get());
}

PyObject* batch_index(PyObject* self, PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(PyExc_TypeError, "column name must be str");
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) return nullptr;
  BatchObject* object = as<BatchObject>(self);
  if (!object->names) {
    const columnar::Batch& batch = *object->batch;
    auto index_names = [&batch] {
      auto names = std::make_unique<NameIndex>(batch.columns.size());
      // The first column of a name is the one found, as a scan would.
      for (std::size_t i = 0; i < batch.columns.size(); ++i) {
        names->try_emplace(batch.name(batch.columns[i]), i);
      }
      return names;
    };
    // The batch is immutable, so a sounding's index is built without the
    // GIL; a thread that built one first is simply outdone.
    std::unique_ptr<NameIndex> names;
    if (large(batch)) {
      py::WithoutGil unlocked;
      names = index_names();
    } else {
      names = index_names();
    }
    object->names = std::move(names);
  }
  const auto found = object->names->find(std::string(text, static_cast<std::size_t>(size)));
  if (found != object->names->end()) return PyLong_FromSize_t(found->second);
  PyErr_SetObject(PyExc_KeyError, name);
  return nullptr;
}

PyObject* text_list(const columnar::ColumnValues& values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.rows())));
  if (!list) return nullptr;
  for (std::size_t r = 0; r < values.rows(); ++r) {
    PyObject* item;
    if (values.valid[r] == 0) {
      item = Py_NewRef(Py_None);
    } else {
      const auto start = static_cast<std::size_t>(values.offsets()[r]);
      const auto end = static_cast<std::size_t>(values.offsets()[r + 1]);
      item = str_object(std::string_view(values.chars().data() + start, end - start));
      if (item == nullptr) return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(r), item);
  }
  return list.release();
}

// A column index whose column holds rows.
bool decoded_column_index(PyObject* self, PyObject* value, std::size_t& out) {
  if (!column_index(self, value, out)) return false;
  if (!batch_of(self)->columns[out].decoded) {
    PyErr_Format(PyExc_ValueError, "column %zd was not decoded (other keys were asked for)",
                 static_cast<Py_ssize_t>(out));
    return false;
  }
  return true;
}

bool all_decoded(const SharedBatch& batch) {
  for (const columnar::Column& column : batch->columns) {
    if (!column.decoded) {
      PyErr_SetString(PyExc_ValueError,
                      "the batch has columns that were not decoded (other keys were asked for)");
      return false;
    }
  }
  return true;
}

PyObject* batch_values(PyObject* self, PyObject* arg) {
  std::size_t i = 0;
  if (!decoded_column_index(self, arg, i)) return nullptr;
  const SharedBatch& batch = batch_of(self);
  const columnar::ColumnValues& values = batch->columns[i].values;
  if (values.type == columnar::ColumnType::Text) return text_list(values);
  return new_buffer(batch_state(self), batch, i, BufferPart::Values);
}

PyObject* batch_valid(PyObject* self, PyObject* arg) {
  std::size_t i = 0;
  if (!decoded_column_index(self, arg, i)) return nullptr;
  return new_buffer(batch_state(self), batch_of(self), i, BufferPart::Valid);
}

PyObject* batch_arrow_schema(PyObject* self, PyObject*) {
  if (!all_decoded(batch_of(self))) return nullptr;
  return arrow_schema_capsule(batch_of(self));
}

PyObject* batch_arrow_stream(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                             PyObject* kwnames) {
  // requested_schema is accepted and ignored: the batch has one type per column.
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  if (nargs + nkw > 1) {
    PyErr_SetString(PyExc_TypeError, "__arrow_c_stream__() takes at most 1 argument");
    return nullptr;
  }
  if (!all_decoded(batch_of(self))) return nullptr;
  return arrow_stream_capsule(batch_of(self));
}

PyObject* batch_repr(PyObject* self) {
  const SharedBatch& batch = batch_of(self);
  return str_object("Batch(" + std::to_string(batch->rows) + " rows, " +
                    std::to_string(batch->columns.size()) + " columns)");
}

PyGetSetDef batch_getset[] = {
    {"num_rows", py::guard<batch_num_rows>, nullptr, nullptr, nullptr},
    {"num_columns", py::guard<batch_num_columns>, nullptr, nullptr, nullptr},
    {"message_rows", py::guard<batch_message_rows>, nullptr, nullptr, nullptr},
    {"columns", py::guard<batch_columns>, nullptr, nullptr, nullptr},
    {"elements", py::guard<batch_elements>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <auto F> PyCFunction method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::guard<F>));
}

PyMethodDef batch_methods[] = {
    {"index", method<batch_index>(), METH_O, "index(name)\n--\n\nPosition of the named column."},
    {"values", method<batch_values>(), METH_O,
     "values(i)\n--\n\nColumn i's values: a buffer (int64 or float64) or a list of str | None."},
    {"valid", method<batch_valid>(), METH_O, "valid(i)\n--\n\nColumn i's validity: 1 = present."},
    {"__arrow_c_schema__", method<batch_arrow_schema>(), METH_NOARGS, nullptr},
    {"__arrow_c_stream__", method<batch_arrow_stream>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(shared_dealloc<BatchObject>)},
    {Py_tp_repr, slot<batch_repr>()},
    {Py_tp_getset, batch_getset},
    {Py_tp_methods, batch_methods},
    {0, nullptr},
};

PyType_Spec batch_spec = {
    "morvane._columnar.Batch",
    sizeof(BatchObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    batch_slots,
};

} // namespace

PyTypeObject* create_batch_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &batch_spec, nullptr));
}

PyTypeObject* create_column_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &column_spec, nullptr));
}

PyTypeObject* create_buffer_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &buffer_spec, nullptr));
}

const SharedBatch* batch_argument(State* state, const char* function, PyObject* value) {
  if (Py_TYPE(value) != state->batch_type) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'batch' must be a Batch", function);
    return nullptr;
  }
  return &batch_of(value);
}

PyObject* wrap_batch(State* state, columnar::Batch&& batch) {
  BatchObject* object = allocate<BatchObject>(state->batch_type);
  if (object == nullptr) return nullptr;
  object->batch = std::make_shared<const columnar::Batch>(std::move(batch));
  return reinterpret_cast<PyObject*>(object);
}

} // namespace morvane::columnar_py
