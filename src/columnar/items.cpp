// decode_items(messages): every item of several (bytes, TableSet) messages as
// flat arrays, returned as bytes for numpy.frombuffer. Decoded with the GIL
// released; a message that fails leaves no items and is named in the
// failures, so the others still count.
#include "items.hpp"

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "../core/columnar/item_arrays.hpp"
#include "../python/arguments.hpp"
#include "../python/pyref.hpp"
#include "../python/without_gil.hpp"
#include "columnar_state.hpp"

namespace morvane::columnar_py {

using py::Ref;

namespace {

template <class T> PyObject* bytes_of(const std::vector<T>& values) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

PyObject* failure_list(const std::vector<std::pair<std::size_t, BufrError>>& failures) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(failures.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < failures.size(); ++i) {
    Ref text(str_object(failures[i].second.message()));
    if (!text) return nullptr;
    PyObject* pair = Py_BuildValue("(nO)", static_cast<Py_ssize_t>(failures[i].first), text.get());
    if (pair == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

} // namespace

PyObject* decode_items(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names{"messages"};
  py::Arguments call("decode_items", names);
  if (!call.parse(args, nargs, kwnames)) return nullptr;
  MessageList messages;
  if (!message_list_argument(state_of_module(module), call.function(), call[0], messages)) {
    return nullptr;
  }
  const std::vector<Bytes>& buffers = messages.buffers;
  const std::vector<const TableSet*>& tables = messages.tables;
  columnar::ItemArrays items;
  std::vector<std::pair<std::size_t, BufrError>> failures;
  {
    py::WithoutGil unlocked;
    CatalogCache catalogs;
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      auto status = columnar::add_message_items(items, buffers[i], *tables[i], catalogs);
      if (!status) failures.emplace_back(i, std::move(status.error()));
      columnar::end_message_items(items);
    }
  }
  Ref parts[] = {Ref(bytes_of(items.codes)),
                 Ref(bytes_of(items.values)),
                 Ref(bytes_of(items.present)),
                 Ref(bytes_of(items.subset_starts)),
                 Ref(bytes_of(items.message_starts)),
                 Ref(PyBytes_FromStringAndSize(items.text.data(),
                                               static_cast<Py_ssize_t>(items.text.size()))),
                 Ref(bytes_of(items.text_starts)),
                 Ref(failure_list(failures))};
  for (const Ref& part : parts) {
    if (!part) return nullptr;
  }
  return PyTuple_Pack(8, parts[0].get(), parts[1].get(), parts[2].get(), parts[3].get(),
                      parts[4].get(), parts[5].get(), parts[6].get(), parts[7].get());
}

} // namespace morvane::columnar_py
