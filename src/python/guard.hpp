// No C++ exception may cross into the interpreter: every entry point runs its
// body through `guarded`, which turns an escaping exception into a Python
// error and returns the entry point's failure value.
#pragma once

#include "python/py_ref.hpp"

#include <exception>
#include <new>

namespace trelm::python {

template <typename R, typename F>
R guarded(R on_error, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
  }
  return on_error;
}

}  // namespace trelm::python
