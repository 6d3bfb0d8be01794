// Giving the interpreter lock up around native work, and taking it back.
//
// Threads that parse many small files give the lock up for a few
// microseconds each and want it back while another such thread holds it for
// a fraction of that. Asking for it then puts the thread to sleep until the
// holder lets go, and waking it costs more than the whole parse of a small
// file. So a thread that knows the holder is one of ours, on its way to its
// own next release, waits for it awake, for a bounded time, before asking.
#include <atomic>
#include <chrono>
#include <thread>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "python/guard.hpp"

namespace trelm::python {
namespace {

// The thread state of the thread that last took the lock back through here
// and has not given it up through here since: a hint, not a lock. It can be
// stale (the holder gave the lock up some other way), which costs a waiter
// at most kLongestWait.
std::atomic<PyThreadState*> g_holder{nullptr};

// About as long as the interpreter lock takes to wake a sleeping thread.
constexpr std::chrono::microseconds kLongestWait{20};

inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Waiting awake helps only while the holder runs on another core.
const bool kWaitAwake = std::thread::hardware_concurrency() > 1;

void wait_while_another_holds(PyThreadState* me) {
  PyThreadState* holder = g_holder.load(std::memory_order_relaxed);
  if (holder == nullptr || holder == me || !kWaitAwake) return;
  const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
  for (unsigned spins = 1;; ++spins) {
    spin_pause();
    if (g_holder.load(std::memory_order_relaxed) != holder) return;
    if (spins % 64 == 0 && std::chrono::steady_clock::now() > deadline) {
      // Held long, or given up some other way: later waiters need not wait.
      g_holder.compare_exchange_strong(holder, nullptr, std::memory_order_relaxed);
      return;
    }
  }
}

}  // namespace

PyThreadState* give_interpreter_lock_up() noexcept {
  PyThreadState* state = PyEval_SaveThread();
  PyThreadState* expected = state;
  g_holder.compare_exchange_strong(expected, nullptr, std::memory_order_relaxed);
  return state;
}

void take_interpreter_lock_back(PyThreadState* state) noexcept {
  wait_while_another_holds(state);
#if defined(__GLIBCXX__)
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    // Not rethrown, and never left: leaving the handler would abort.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
#else
  PyEval_RestoreThread(state);
#endif
  g_holder.store(state, std::memory_order_relaxed);
}

}  // namespace trelm::python
