// Identity comparison shared by Query, Select and Column: equal when both
// objects hold the same node; other types and orderings are declined.
#pragma once

#include "python/py_ref.hpp"

namespace trelm::python {

template <typename GetNode>
PyObject* compare_by_node(PyObject* a, PyObject* b, int op, PyTypeObject* type, GetNode node_of) {
  if ((op != Py_EQ && op != Py_NE) || type == nullptr || Py_TYPE(b) != type || Py_TYPE(a) != type) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  bool same = node_of(a) == node_of(b);
  if ((op == Py_EQ) == same) Py_RETURN_TRUE;
  Py_RETURN_FALSE;
}

}  // namespace trelm::python
