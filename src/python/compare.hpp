// Equality and hashing shared by the handle classes: two handles of one
// class are equal when they reach the same node (or, for a Config, the same
// call of the same document), and hash alike then. Other types and
// orderings are declined.
#pragma once

#include <cstddef>
#include <cstdint>

#include "python/py_ref.hpp"

namespace trelm::python {

template <typename Key>
PyObject* compare_by_key(PyObject* a, PyObject* b, int op, PyTypeObject* type, Key key_of) {
  if ((op != Py_EQ && op != Py_NE) || type == nullptr || Py_TYPE(b) != type || Py_TYPE(a) != type) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  bool same = key_of(a) == key_of(b);
  if ((op == Py_EQ) == same) Py_RETURN_TRUE;
  Py_RETURN_FALSE;
}

template <typename GetNode>
PyObject* compare_by_node(PyObject* a, PyObject* b, int op, PyTypeObject* type, GetNode node_of) {
  return compare_by_key(a, b, op, type, node_of);
}

// Derived from an address, rotated so that allocation alignment does not
// leave the low bits constant; `salt` tells apart keys at one address.
inline Py_hash_t hash_of_address(const void* address, std::size_t salt = 0) {
  auto bits = reinterpret_cast<std::uintptr_t>(address);
  bits = (bits >> 4) | (bits << (8 * sizeof(bits) - 4));
  bits ^= salt * 0x9E3779B97F4A7C15ull;
  auto h = static_cast<Py_hash_t>(bits);
  return h == -1 ? -2 : h;
}

}  // namespace trelm::python
