// Python objects that stand for nodes of a tree. Each holds shared
// references to its nodes (never Python objects), so none needs the GC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <new>
#include <type_traits>
#include <utility>

#include "python/py_ref.hpp"
#include "query/calls.hpp"
#include "query/lineage.hpp"
#include "tree/document.hpp"
#include "tree/positions.hpp"

namespace trelm::python {

// A parsed document, shared by every object reached from it: the handles
// ask it where their nodes are. Every edit through any of them drops the
// positions (see edited()).
struct DocState {
  cst::Document doc;
  cst::PositionCache positions;
  std::size_t source_bytes;  // the size parsed: what freeing the tree costs, roughly

  DocState(cst::Document d, std::size_t bytes) : doc(std::move(d)), source_bytes(bytes) {}
  std::shared_ptr<const cst::PositionIndex> index() { return positions.current(doc); }
  void edited() { positions.drop(); }
};

using SharedDoc = std::shared_ptr<DocState>;

// Drops a Python object's reference to its document. Freeing a tree under
// the interpreter lock would keep every other thread waiting, so the last
// reference is not dropped here: the tree is set aside, and freed by this
// thread's next parse or print, which releases the lock anyway. Once enough
// is set aside (or one large tree), all of it is freed at once with the lock
// released: once per batch costs less than once per tree. Called with the
// lock held, from deallocs, and so never while a tree lock is held.
void let_go(SharedDoc doc) noexcept;

// What keeps an exact str alive while a tree reads its UTF-8 bytes in place
// (its own storage, or the UTF-8 copy it caches for life): one reference to
// it, dropped only by drop_let_go_strs, whichever thread frees the tree.
// Called with the interpreter lock held.
std::shared_ptr<const void> str_owner(PyObject* str);
// The str an owner made by str_owner stands for; nullptr for any other
// owner. Borrowed: valid while the owner is.
PyObject* owned_str(const std::shared_ptr<const void>& owner);

struct PyDocument {
  PyObject_HEAD
  SharedDoc doc;
};

// A configuration call of a document: the same shared document as its
// PyDocument and which of its configuration calls (0 for the first), read
// afresh on every access, so it never goes stale.
struct PyConfig {
  PyObject_HEAD
  SharedDoc doc;
  std::size_t nth;
};

// Query, Cte, Clause and Node: one node each, and the document it was
// reached from.
struct PyNodeHandle {
  PyObject_HEAD
  cst::NodeRef node;
  SharedDoc doc;
};

// A SELECT clause, with the query that holds it: an edit of the list must
// know whether a word follows the clause, which only the query can tell.
struct PySelect {
  PyObject_HEAD
  cst::NodeRef node;
  cst::NodeRef query;
  SharedDoc doc;
};

struct PyColumn {
  PyObject_HEAD
  cst::NodeRef item;
  cst::NodeRef select;  // the SELECT clause the column was obtained from
  cst::NodeRef query;   // and the query holding that clause
  SharedDoc doc;
};

struct PyToken {
  PyObject_HEAD
  cst::TokenCopy token;
  SharedDoc doc;
};

struct PyCall {
  PyObject_HEAD
  query::FoundCall call;
  SharedDoc doc;
  std::uint64_t generation;  // of the document's positions when the call was found
};

// Values read for lineage, as they were when read; their spans follow their
// first and last tokens while those stay in the document.
struct PyColumnRef {
  PyObject_HEAD
  query::ColumnRef ref;
  SharedDoc doc;
};

struct PyRelation {
  PyObject_HEAD
  query::Relation relation;
  SharedDoc doc;
};

struct PyConditionalColumn {
  PyObject_HEAD
  query::ConditionalItem item;
  SharedDoc doc;
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

inline void construct_payload(PyDocument* self, SharedDoc doc) { new (&self->doc) SharedDoc(std::move(doc)); }
inline void construct_payload(PyConfig* self, SharedDoc doc, std::size_t nth) {
  new (&self->doc) SharedDoc(std::move(doc));
  self->nth = nth;
}
inline void construct_payload(PyNodeHandle* self, cst::NodeRef node, SharedDoc doc) {
  new (&self->node) cst::NodeRef(std::move(node));
  new (&self->doc) SharedDoc(std::move(doc));
}
inline void construct_payload(PySelect* self, cst::NodeRef node, cst::NodeRef query, SharedDoc doc) {
  new (&self->node) cst::NodeRef(std::move(node));
  new (&self->query) cst::NodeRef(std::move(query));
  new (&self->doc) SharedDoc(std::move(doc));
}
inline void construct_payload(PyColumn* self, cst::NodeRef item, cst::NodeRef select, cst::NodeRef query,
                              SharedDoc doc) {
  new (&self->item) cst::NodeRef(std::move(item));
  new (&self->select) cst::NodeRef(std::move(select));
  new (&self->query) cst::NodeRef(std::move(query));
  new (&self->doc) SharedDoc(std::move(doc));
}
inline void construct_payload(PyToken* self, cst::TokenCopy token, SharedDoc doc) {
  new (&self->token) cst::TokenCopy(std::move(token));
  new (&self->doc) SharedDoc(std::move(doc));
}
inline void construct_payload(PyCall* self, query::FoundCall call, SharedDoc doc, std::uint64_t generation) {
  new (&self->call) query::FoundCall(std::move(call));
  new (&self->doc) SharedDoc(std::move(doc));
  self->generation = generation;
}

template <typename T, typename V>
  requires(std::is_same_v<T, PyColumnRef> || std::is_same_v<T, PyRelation> || std::is_same_v<T, PyConditionalColumn>)
inline void construct_payload(T* self, V value, SharedDoc doc) {
  new (&self->doc) SharedDoc(std::move(doc));
  if constexpr (std::is_same_v<T, PyColumnRef>) {
    new (&self->ref) query::ColumnRef(std::move(value));
  } else if constexpr (std::is_same_v<T, PyRelation>) {
    new (&self->relation) query::Relation(std::move(value));
  } else {
    new (&self->item) query::ConditionalItem(std::move(value));
  }
}

// Destroys the C++ payload but for the document reference, which is
// handed back: let_go takes it once the object is gone.
inline SharedDoc take_doc(SharedDoc& slot) {
  SharedDoc doc = std::move(slot);
  slot.~SharedDoc();
  return doc;
}
inline SharedDoc take_payload(PyDocument* self) { return take_doc(self->doc); }
inline SharedDoc take_payload(PyConfig* self) { return take_doc(self->doc); }
inline SharedDoc take_payload(PyNodeHandle* self) {
  self->node.~NodeRef();
  return take_doc(self->doc);
}
inline SharedDoc take_payload(PySelect* self) {
  self->node.~NodeRef();
  self->query.~NodeRef();
  return take_doc(self->doc);
}
inline SharedDoc take_payload(PyColumn* self) {
  self->item.~NodeRef();
  self->select.~NodeRef();
  self->query.~NodeRef();
  return take_doc(self->doc);
}
inline SharedDoc take_payload(PyToken* self) {
  self->token.~TokenCopy();
  return take_doc(self->doc);
}
inline SharedDoc take_payload(PyCall* self) {
  self->call.~FoundCall();
  return take_doc(self->doc);
}

inline SharedDoc take_payload(PyColumnRef* self) {
  self->ref.~ColumnRef();
  return take_doc(self->doc);
}
inline SharedDoc take_payload(PyRelation* self) {
  self->relation.~Relation();
  return take_doc(self->doc);
}
inline SharedDoc take_payload(PyConditionalColumn* self) {
  self->item.~ConditionalItem();
  return take_doc(self->doc);
}

// tp_dealloc of a heap type: free through the type's free slot, drop the
// instance's reference to its type, and last its document, which may
// release the interpreter lock: the object is already gone by then.
template <typename T>
void dealloc_instance(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  SharedDoc doc = take_payload(reinterpret_cast<T*>(obj));
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(obj);
  Py_DECREF(type);
  let_go(std::move(doc));
}

template <typename T>
T* as(PyObject* obj) {
  return reinterpret_cast<T*>(obj);
}

}  // namespace trelm::python
