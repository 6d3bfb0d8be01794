// Freeing trees away from the interpreter lock.
#include <cstddef>
#include <utility>
#include <vector>

#include "python/guard.hpp"
#include "python/handle.hpp"

namespace trelm::python {
namespace {

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

void free_set_aside() noexcept {
  SetAside& aside = t_set_aside;
  aside.docs.clear();
  aside.bytes = 0;
}

void let_go(SharedDoc doc) noexcept {
  // Others still hold the document: only its count drops.
  if (!doc || doc.use_count() > 1) return;
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
}

}  // namespace trelm::python
