// Releases the GIL for the life of the object: the bindings hold it only
// around Python work, never around the core's.
#pragma once

#include "python.hpp"

namespace morvane::py {

class WithoutGil {
public:
  WithoutGil() : saved_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(saved_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

private:
  PyThreadState* saved_;
};

} // namespace morvane::py
