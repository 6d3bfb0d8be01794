// Freeing trees away from the interpreter lock, and dropping the strs that
// freed trees had read in place.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "python/guard.hpp"
#include "python/handle.hpp"

namespace trelm::python {
namespace {

// A str whose bytes a tree reads in place, and the interpreter it belongs
// to. The tree may let go of it on any thread, with or without the
// interpreter lock, under a node's lock, at thread exit or after the
// interpreter is gone; none of those may drop a reference. So the letting
// go only puts it on a list, with no lock and no allocation, and the
// reference is dropped later by a thread of its interpreter that holds the
// interpreter lock and no tree lock (drop_let_go_strs). Strs still listed
// when the interpreter ends are never dropped.
struct BorrowedStr {
  PyObject* str;
  std::int64_t interpreter;
  BorrowedStr* next;
};

// Each thread lists what it lets go of for itself, so threads that parse
// side by side never write to the same memory for it; a thread that ends
// hands its list to every thread, through g_let_go. Plain values, which
// stay readable while the thread's other objects are destroyed.
thread_local BorrowedStr* t_let_go = nullptr;
thread_local bool t_ending = false;
std::atomic<BorrowedStr*> g_let_go{nullptr};

void list_shared(BorrowedStr* b) noexcept {
  b->next = g_let_go.load(std::memory_order_relaxed);
  while (!g_let_go.compare_exchange_weak(b->next, b, std::memory_order_release, std::memory_order_relaxed)) {
  }
}

void list_shared_all(BorrowedStr* list) noexcept {
  while (list != nullptr) list_shared(std::exchange(list, list->next));
}

// Made before a thread first lists anything or sets a tree aside, so that
// it is destroyed after the set-aside trees are freed, when the thread
// ends: then whatever the thread listed is handed over, and what it lets go
// of from then on goes straight to g_let_go.
struct HandOver {
  HandOver() = default;
  HandOver(const HandOver&) = delete;
  HandOver& operator=(const HandOver&) = delete;
  ~HandOver() {
    t_ending = true;
    list_shared_all(std::exchange(t_let_go, nullptr));
  }
};
thread_local HandOver t_hand_over;

void make_hand_over() noexcept { static_cast<void>(&t_hand_over); }

void list_let_go(BorrowedStr* b) noexcept {
  if (t_ending) {
    list_shared(b);
    return;
  }
  make_hand_over();
  b->next = t_let_go;
  t_let_go = b;
}

struct LetGoOfStr {
  void operator()(BorrowedStr* b) const noexcept { list_let_go(b); }
};

std::int64_t this_interpreter() { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

void drop_listed(BorrowedStr* list, std::int64_t here) noexcept {
  while (list != nullptr) {
    BorrowedStr* b = std::exchange(list, list->next);
    if (b->interpreter != here) {
      list_shared(b);  // another interpreter's, for its own threads
      continue;
    }
    Py_DECREF(b->str);  // an exact str: no Python code runs
    delete b;
  }
}

// The trees a thread let go of since it last released the interpreter lock.
// Freed at the latest when the thread ends.
struct SetAside {
  std::vector<SharedDoc> docs;
  std::size_t bytes = 0;
};

thread_local SetAside t_set_aside;

// Source bytes set aside before they are freed at once: a few dozen files
// of the usual size, and no more than a couple of megabytes of tree, which
// stay alive until the thread next parses or prints.
constexpr std::size_t kBatchBytes = 64 * 1024;

}  // namespace

std::shared_ptr<const void> str_owner(PyObject* str) {
  make_hand_over();
  auto* b = new BorrowedStr{str, this_interpreter(), nullptr};
  Py_INCREF(str);
  // Should the count's own allocation fail, the deleter lists `b` at once.
  return std::shared_ptr<const void>(b, LetGoOfStr{});
}

PyObject* owned_str(const std::shared_ptr<const void>& owner) {
  if (std::get_deleter<LetGoOfStr>(owner) == nullptr) return nullptr;
  return static_cast<const BorrowedStr*>(owner.get())->str;
}

void drop_let_go_strs() noexcept {
  if (t_let_go == nullptr && g_let_go.load(std::memory_order_relaxed) == nullptr) return;
  // While the interpreter shuts down they are left: the process is ending.
  if (!Py_IsInitialized()) return;
  const std::int64_t here = this_interpreter();
  drop_listed(std::exchange(t_let_go, nullptr), here);
  if (g_let_go.load(std::memory_order_relaxed) != nullptr) {
    drop_listed(g_let_go.exchange(nullptr, std::memory_order_acquire), here);
  }
}

void free_set_aside() noexcept {
  make_hand_over();
  SetAside& aside = t_set_aside;
  aside.docs.clear();
  aside.bytes = 0;
}

void let_go(SharedDoc doc) noexcept {
  // Others still hold the document: only its count drops.
  if (!doc || doc.use_count() > 1) return;
  make_hand_over();
  SetAside& aside = t_set_aside;
  const std::size_t bytes = doc->source_bytes;
  try {
    aside.docs.push_back(std::move(doc));
  } catch (...) {
    return;  // no room to set it aside: it is freed right here instead
  }
  aside.bytes += bytes;
  if (aside.bytes < kBatchBytes) return;
  // While the interpreter shuts down, the lock is kept: whether it could be
  // taken back is no longer certain.
  if (!Py_IsInitialized()) {
    free_set_aside();
    return;
  }
  PyThreadState* state = give_interpreter_lock_up();
  free_set_aside();
  take_interpreter_lock_back(state);
  drop_let_go_strs();
}

}  // namespace trelm::python
