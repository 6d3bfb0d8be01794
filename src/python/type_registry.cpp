#include "python/types.hpp"

namespace trelm::python {

PyTypeObject* lazy_type(PyTypeObject*& slot, PyType_Spec& spec) {
  if (slot != nullptr) return slot;
  auto* created = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (created == nullptr) return nullptr;
  // Type creation can run Python code and so let another importing thread
  // finish first; keep the type that was stored first.
  if (slot != nullptr) {
    Py_DECREF(created);
    return slot;
  }
  slot = created;
  return slot;
}

}  // namespace trelm::python
