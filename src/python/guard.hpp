// No C++ exception may cross into the interpreter: every entry point runs its
// body through `guarded`, which turns an escaping exception into a Python
// error and returns the entry point's failure value.
#pragma once

#include "python/py_ref.hpp"

#include <exception>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

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

// Runs `work` with the interpreter lock released, so other Python threads run
// meanwhile, and answers its result. `work` must touch no Python object and
// must give back every tree lock it takes: a thread that waits for the
// interpreter lock while holding a node's lock could wait forever on a thread
// that holds the interpreter lock and wants the node. What `work` throws is
// thrown again only once the interpreter lock is held, so that `guarded` may
// set the Python error.
template <typename F>
auto without_interpreter_lock(F&& work) -> std::invoke_result_t<F&> {
  using Result = std::invoke_result_t<F&>;
  std::optional<Result> result;
  std::exception_ptr failure;
  PyThreadState* state = PyEval_SaveThread();
  try {
    result.emplace(work());
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace trelm::python
