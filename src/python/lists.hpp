// Building Python results from core results. Callers have released every
// tree lock before they get here: these run Python code (allocation, GC).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/handle.hpp"
#include "python/py_ref.hpp"

namespace trelm::python {

PyObject* to_py_str(std::string_view text);

// A new tuple / list of `size` items, each `make(i)` (a new reference);
// nullptr, with nothing leaked, when one cannot be made.
template <typename Make>
PyObject* tuple_of(std::size_t size, Make&& make) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(size)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return tuple.release();
}

template <typename Make>
PyObject* list_of(std::size_t size, Make&& make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}
// "1 column", "1,211 columns": a count for a repr, in thousands.
std::string counted(std::size_t n, std::string_view one, std::string_view many);
// A str, or None when absent.
PyObject* optional_str(const std::optional<std::string>& text);
// Every handle is tied to the document `doc` it was reached from.
// A new handle of `type` (holding one node), or None when absent.
PyObject* new_handle(PyTypeObject* type, const cst::NodeRef& node, const SharedDoc& doc);
PyObject* optional_handle(PyTypeObject* type, const std::optional<cst::NodeRef>& node, const SharedDoc& doc);
// A new list with one handle of `type` per node.
PyObject* handle_list(PyTypeObject* type, const std::vector<cst::NodeRef>& nodes, const SharedDoc& doc);
// Select handles for SELECT clauses of `query`.
PyObject* new_select(const cst::NodeRef& select, const cst::NodeRef& query, const SharedDoc& doc);
PyObject* optional_select(const std::optional<cst::NodeRef>& select, const cst::NodeRef& query, const SharedDoc& doc);
PyObject* select_list(const std::vector<cst::NodeRef>& selects, const cst::NodeRef& query, const SharedDoc& doc);
// A new Column handle / a list of them, tied to `select` of `query`.
PyObject* new_column(const cst::NodeRef& item, const cst::NodeRef& select, const cst::NodeRef& query,
                     const SharedDoc& doc);
PyObject* column_list(const std::vector<cst::NodeRef>& items, const cst::NodeRef& select, const cst::NodeRef& query,
                      const SharedDoc& doc);

// Token and Call snapshots of `doc`.
PyObject* token_list(const std::vector<cst::TokenCopy>& tokens, const SharedDoc& doc);
PyObject* call_list(std::vector<query::FoundCall> calls, const SharedDoc& doc, std::uint64_t generation);

inline constexpr char kSpanDoc[] =
    "(start, end): where the object is in str(document), so that str(document)[start:end] is its\ntext; None when it "
    "is no longer part of the document.";

// A (start, end) tuple of Python str indices, or None.
PyObject* optional_span(const std::optional<cst::TextSpan>& span);
// The span of a node handle's node in its document now: None when the node
// is no longer in it.
PyObject* node_span(const cst::NodeRef& node, const SharedDoc& doc);

}  // namespace trelm::python
