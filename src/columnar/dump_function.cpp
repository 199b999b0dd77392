// dump_text and dump_json: `morvane dump` of one message in its text or JSON
// form, decoded and written out in pieces by the core with the GIL released;
// each piece goes to the caller's write function as soon as it is made.
#include <array>
#include <string>

#include "../core/dump/message_text.hpp"
#include "../python/arguments.hpp"
#include "../python/pyref.hpp"
#include "../python/without_gil.hpp"
#include "columnar_state.hpp"

namespace morvane::columnar_py {

namespace {

// Big enough that a call to write costs nothing beside its text, small
// enough to stay in cache and never to hold a large message's text whole.
constexpr std::size_t kPieceBytes = std::size_t{1} << 16;

PyObject* dump(const char* function, dump::Form form, PyObject* module, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 3> names{"data", "tables", "write"};
  py::Arguments call(function, names);
  if (!call.parse(args, nargs, kwnames)) return nullptr;
  State* state = state_of_module(module);
  Bytes data;
  if (!call.bytes(0, data)) return nullptr;
  const TableSet* tables = table_set_argument(state, call.function(), call[1]);
  if (tables == nullptr) return nullptr;
  PyObject* write = call[2];
  if (PyCallable_Check(write) == 0) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'write' must be callable", function);
    return nullptr;
  }
  // The arguments hold the data and the tables (which the decoded values
  // point into) for the whole call.
  Result<dump::MessageText> text = [&] {
    py::WithoutGil unlocked;
    return dump::MessageText::decode(data, *tables, form);
  }();
  if (!text) return set_value_error(text.error());
  std::string piece;
  piece.reserve(kPieceBytes + 4096);
  for (;;) {
    bool more = false;
    {
      py::WithoutGil unlocked;
      piece.clear();
      more = text->next(piece, kPieceBytes);
    }
    if (!more) break;
    // The core wrote valid UTF-8.
    py::Ref str(PyUnicode_FromStringAndSize(piece.data(), static_cast<Py_ssize_t>(piece.size())));
    if (!str) return nullptr;
    std::array<PyObject*, 1> call_args{str.get()};
    py::Ref written(PyObject_Vectorcall(write, call_args.data(), 1, nullptr));
    if (!written) return nullptr;
  }
  Py_RETURN_NONE;
}

} // namespace

PyObject* dump_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return dump("dump_text", dump::Form::Text, module, args, nargs, kwnames);
}

PyObject* dump_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return dump("dump_json", dump::Form::Json, module, args, nargs, kwnames);
}

} // namespace morvane::columnar_py
