// The Clause class: one clause of a query, known by its keyword.
#include <string>

#include "python/compare.hpp"
#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/lists.hpp"
#include "python/types.hpp"
#include "tree/print.hpp"

namespace trelm::python {
namespace {

std::string name_of(PyObject* self) {
  const cst::NodeRef& node = as<PyNodeHandle>(self)->node;
  auto lock = node->read_lock();
  return node->kind.tag == cst::NodeTag::Clause ? std::string(node->kind.name()) : std::string();
}

PyObject* clause_name(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(name_of(self)); });
}

const cst::NodeRef& node_of(PyObject* self) { return as<PyNodeHandle>(self)->node; }
const SharedDoc& doc_of(PyObject* self) { return as<PyNodeHandle>(self)->doc; }

PyObject* clause_node(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return new_handle(node_type(), node_of(self), doc_of(self)); });
}

PyObject* clause_span(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return node_span(node_of(self), doc_of(self)); });
}

PyObject* clause_str(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(cst::node_text(node_of(self))); });
}

PyObject* clause_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str("<Clause " + name_of(self) + ">"); });
}

PyObject* clause_richcompare(PyObject* a, PyObject* b, int op) {
  return compare_by_node(a, b, op, clause_type(), [](PyObject* o) { return node_of(o).get(); });
}

Py_hash_t clause_hash(PyObject* self) { return hash_of_address(node_of(self).get()); }

PyGetSetDef kGetSet[] = {
    {"name", clause_name, nullptr, "The clause keyword in upper case, such as `FROM`, `GROUP BY` or `UNION ALL`.",
     nullptr},
    {"node", clause_node, nullptr, "The syntax tree node of the clause.", nullptr},
    {"span", clause_span, nullptr, kSpanDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A clause of a query, such as its FROM or WHERE clause.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyNodeHandle>)},
    {Py_tp_str, reinterpret_cast<void*>(clause_str)},
    {Py_tp_repr, reinterpret_cast<void*>(clause_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(clause_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(clause_hash)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = class_spec("trelm_cst.Clause", sizeof(PyNodeHandle), kSlots);

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* clause_type() { return lazy_type(g_type, kSpec); }

}  // namespace trelm::python
