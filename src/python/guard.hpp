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

// Frees the trees this thread set aside (see let_go in handle.hpp). Called
// only with the interpreter lock released.
void free_set_aside() noexcept;

// Drops the references to the strs that freed trees had read in place (see
// str_owner in handle.hpp). Called only with the interpreter lock held and
// no tree lock.
void drop_let_go_strs() noexcept;

// Gives the interpreter lock up (PyEval_SaveThread) and answers the state
// that take_interpreter_lock_back takes.
PyThreadState* give_interpreter_lock_up() noexcept;

// Takes the interpreter lock back after give_interpreter_lock_up. While the
// interpreter shuts down, CPython ends a thread other than the one shutting it
// down right here, by unwinding its stack (pthread_exit). That unwinding
// would reach `guarded`, which may let nothing through, and abort the whole
// process at exit; it would also run destructors that drop Python references
// without the lock. Such a thread is parked for good instead: the process is
// ending.
void take_interpreter_lock_back(PyThreadState* state) noexcept;

// Runs `work` with the interpreter lock released, so other Python threads run
// meanwhile, and answers its result. `work` must touch no Python object and
// must give back every tree lock it takes: a thread that waits for the
// interpreter lock while holding a node's lock could wait forever on a thread
// that holds the interpreter lock and wants the node. What `work` throws is
// thrown again only once the interpreter lock is held, so that `guarded` may
// set the Python error. The trees this thread set aside are freed first, in
// the same release, and the strs they read are dropped after it.
template <typename F>
auto without_interpreter_lock(F&& work) -> std::invoke_result_t<F&> {
  using Result = std::invoke_result_t<F&>;
  std::optional<Result> result;
  std::exception_ptr failure;
  PyThreadState* state = give_interpreter_lock_up();
  free_set_aside();
  try {
    result.emplace(work());
  } catch (...) {
    failure = std::current_exception();
  }
  take_interpreter_lock_back(state);
  drop_let_go_strs();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace trelm::python
