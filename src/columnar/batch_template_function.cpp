#include "batch_template_function.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#include "../python/arguments.hpp"
#include "../python/pyref.hpp"
#include "columnar_state.hpp"

namespace morvane::columnar_py {

namespace {

// Per column: its descriptor and key index (4 bytes each, as this machine
// holds them) and its type (1 byte).
constexpr std::size_t kColumnBytes = 9;

} // namespace

PyObject* batch_template(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names{"batch"};
  py::Arguments call("batch_template", names);
  if (!call.parse(args, nargs, kwnames)) return nullptr;
  const SharedBatch* batch = batch_argument(state_of_module(module), "batch_template", call[0]);
  if (batch == nullptr) return nullptr;
  const auto& columns = (*batch)->columns;
  py::Ref out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(columns.size() * kColumnBytes)));
  if (!out) return nullptr;
  char* at = PyBytes_AsString(out.get());
  if (at == nullptr) return nullptr;
  for (const columnar::Column& column : columns) {
    const std::uint32_t descriptor = column.descriptor;
    const std::uint32_t key = column.key;
    std::memcpy(at, &descriptor, sizeof descriptor);
    std::memcpy(at + 4, &key, sizeof key);
    at[8] = static_cast<char>(column.values.type);
    at += kColumnBytes;
  }
  return out.release();
}

} // namespace morvane::columnar_py
