// Python objects that stand for nodes of a tree. Each holds shared
// references to its nodes (never Python objects), so none needs the GC.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "python/py_ref.hpp"
#include "tree/document.hpp"

namespace trelm::python {

struct PyDocument {
  PyObject_HEAD
  std::shared_ptr<cst::Document> doc;
};

// A configuration call of a document: the same shared document as its
// PyDocument and which of its configuration calls (0 for the first), read
// afresh on every access, so it never goes stale.
struct PyConfig {
  PyObject_HEAD
  std::shared_ptr<cst::Document> doc;
  std::size_t nth;
};

// Query, Cte and Clause: one node each.
struct PyNodeHandle {
  PyObject_HEAD
  cst::NodeRef node;
};

// A SELECT clause, with the query that holds it: an edit of the list must
// know whether a word follows the clause, which only the query can tell.
struct PySelect {
  PyObject_HEAD
  cst::NodeRef node;
  cst::NodeRef query;
};

struct PyColumn {
  PyObject_HEAD
  cst::NodeRef item;
  cst::NodeRef select;  // the SELECT clause the column was obtained from
  cst::NodeRef query;   // and the query holding that clause
};

// Allocates an instance of `type` through its alloc slot and constructs the
// C++ payload in place. The classes have no Python constructor, so this is
// the only way an instance comes to exist: never without its node.
template <typename T, typename... Members>
PyObject* new_instance(PyTypeObject* type, Members&&... members) {
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) return nullptr;
  T* self = reinterpret_cast<T*>(obj);
  construct_payload(self, std::forward<Members>(members)...);
  return obj;
}

inline void construct_payload(PyDocument* self, std::shared_ptr<cst::Document> doc) {
  new (&self->doc) std::shared_ptr<cst::Document>(std::move(doc));
}
inline void construct_payload(PyConfig* self, std::shared_ptr<cst::Document> doc, std::size_t nth) {
  new (&self->doc) std::shared_ptr<cst::Document>(std::move(doc));
  self->nth = nth;
}
inline void construct_payload(PyNodeHandle* self, cst::NodeRef node) {
  new (&self->node) cst::NodeRef(std::move(node));
}
inline void construct_payload(PySelect* self, cst::NodeRef node, cst::NodeRef query) {
  new (&self->node) cst::NodeRef(std::move(node));
  new (&self->query) cst::NodeRef(std::move(query));
}
inline void construct_payload(PyColumn* self, cst::NodeRef item, cst::NodeRef select, cst::NodeRef query) {
  new (&self->item) cst::NodeRef(std::move(item));
  new (&self->select) cst::NodeRef(std::move(select));
  new (&self->query) cst::NodeRef(std::move(query));
}

inline void destroy_payload(PyDocument* self) { self->doc.~shared_ptr(); }
inline void destroy_payload(PyConfig* self) { self->doc.~shared_ptr(); }
inline void destroy_payload(PyNodeHandle* self) { self->node.~NodeRef(); }
inline void destroy_payload(PySelect* self) {
  self->node.~NodeRef();
  self->query.~NodeRef();
}
inline void destroy_payload(PyColumn* self) {
  self->item.~NodeRef();
  self->select.~NodeRef();
  self->query.~NodeRef();
}

// tp_dealloc of a heap type: free through the type's free slot, then drop
// the instance's reference to its type.
template <typename T>
void dealloc_instance(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  destroy_payload(reinterpret_cast<T*>(obj));
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(obj);
  Py_DECREF(type);
}

template <typename T>
T* as(PyObject* obj) {
  return reinterpret_cast<T*>(obj);
}

}  // namespace trelm::python
