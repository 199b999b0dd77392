// dump_text: the text form of `morvane dump` for one message, made by the
// core with the GIL released.
#include <array>
#include <string>

#include "../core/dump/message_text.hpp"
#include "../python/arguments.hpp"
#include "columnar_state.hpp"

namespace morvane::columnar_py {

namespace {

class GilReleased {
public:
  GilReleased() : saved_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(saved_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

private:
  PyThreadState* saved_;
};

} // namespace

PyObject* dump_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> names{"data", "tables"};
  std::array<PyObject*, 2> values{};
  if (!py::parse_arguments("dump_text", names, args, nargs, kwnames, values.data())) return nullptr;
  State* state = state_of_module(module);
  Bytes data;
  if (!py::bytes_argument("dump_text", "data", values[0], data)) return nullptr;
  const TableSet* tables = table_set_argument(state, "dump_text", values[1]);
  if (tables == nullptr) return nullptr;
  Result<std::string> text;
  {
    GilReleased unlocked;
    text = dump::message_text(data, *tables);
  }
  if (!text) return set_value_error(text.error());
  // The core made it valid UTF-8.
  return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

} // namespace morvane::columnar_py
