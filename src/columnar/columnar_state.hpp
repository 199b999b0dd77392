// morvane._columnar: messages decoded into columns on the same core as
// _morvane. Per-module state and what the files of the binding share.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "../core/columnar/batch.hpp"
#include "../core/error.hpp"
#include "../core/message.hpp"
#include "../core/tables/table_set.hpp"
#include "../python/pyref.hpp"
#include "../python/python.hpp"

namespace morvane::columnar_py {

struct State {
  PyTypeObject* batch_type = nullptr;
  PyTypeObject* column_type = nullptr;
  PyTypeObject* buffer_type = nullptr;
  // _morvane.TableSet, whose instances this module reads.
  PyObject* table_set_type = nullptr;
};

State* state_of_module(PyObject* module);
State* state_of_type(PyTypeObject* type);

using SharedBatch = std::shared_ptr<const columnar::Batch>;

PyTypeObject* create_batch_type(PyObject* module);
PyTypeObject* create_column_type(PyObject* module);
PyTypeObject* create_buffer_type(PyObject* module);

// A new Batch object; nullptr with an exception set.
PyObject* wrap_batch(State* state, columnar::Batch&& batch);
// The batch of a Batch object; nullptr (TypeError set) for anything else.
const SharedBatch* batch_argument(State* state, const char* function, PyObject* value);

// The Arrow C data interface: a capsule "arrow_schema" for the struct of the
// batch's columns, and a capsule "arrow_array_stream" of one record batch.
PyObject* arrow_schema_capsule(const SharedBatch& batch);
PyObject* arrow_stream_capsule(const SharedBatch& batch);

// The table set inside a _morvane.TableSet; nullptr (TypeError set) otherwise.
const TableSet* table_set_argument(State* state, const char* function, PyObject* value);

// A sequence of (bytes, TableSet) messages, with a reference to each part
// held: the caller's list may change while the GIL is released.
struct MessageList {
  std::vector<py::Ref> held;
  std::vector<Bytes> buffers;
  std::vector<const TableSet*> tables;
};
[[nodiscard]] bool message_list_argument(State* state, const char* function, PyObject* value,
                                         MessageList& out);
PyObject* set_value_error(const BufrError& error, std::string_view prefix = {});
PyObject* str_object(std::string_view text);

} // namespace morvane::columnar_py
