// The Cte class: one `name AS (...)` entry of a WITH clause.
#include "python/compare.hpp"
#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/lists.hpp"
#include "python/types.hpp"
#include "query/navigation.hpp"
#include "tree/print.hpp"

namespace trelm::python {
namespace {

const cst::NodeRef& node_of(PyObject* self) { return as<PyNodeHandle>(self)->node; }
const SharedDoc& doc_of(PyObject* self) { return as<PyNodeHandle>(self)->doc; }

std::optional<std::string> name_of(PyObject* self) {
  const cst::NodeRef& node = node_of(self);
  auto lock = node->read_lock();
  return query::cte_name(node->children);
}

PyObject* cte_name(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return optional_str(name_of(self)); });
}

PyObject* cte_query(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    std::optional<cst::NodeRef> body;
    {
      const cst::NodeRef& node = node_of(self);
      auto lock = node->read_lock();
      body = query::cte_query(node->children);
    }
    return optional_handle(query_type(), body, doc_of(self));
  });
}

PyObject* cte_node(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return new_handle(node_type(), node_of(self), doc_of(self)); });
}

PyObject* cte_span(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return node_span(node_of(self), doc_of(self)); });
}

PyObject* cte_str(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(cst::node_text(node_of(self))); });
}

PyObject* cte_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str("<Cte " + name_of(self).value_or("") + ">"); });
}

PyObject* cte_richcompare(PyObject* a, PyObject* b, int op) {
  return compare_by_node(a, b, op, cte_type(), [](PyObject* o) { return node_of(o).get(); });
}

Py_hash_t cte_hash(PyObject* self) { return hash_of_address(node_of(self).get()); }

PyGetSetDef kGetSet[] = {
    {"name", cte_name, nullptr, "The CTE's name, unquoted.", nullptr},
    {"query", cte_query, nullptr, "The query inside the CTE's parentheses.", nullptr},
    {"node", cte_node, nullptr, "The syntax tree node of the CTE.", nullptr},
    {"span", cte_span, nullptr, kSpanDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("One `name AS (...)` entry of a WITH clause.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyNodeHandle>)},
    {Py_tp_str, reinterpret_cast<void*>(cte_str)},
    {Py_tp_repr, reinterpret_cast<void*>(cte_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(cte_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(cte_hash)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = class_spec("trelm_cst.Cte", sizeof(PyNodeHandle), kSlots);

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* cte_type() { return lazy_type(g_type, kSpec); }

}  // namespace trelm::python
