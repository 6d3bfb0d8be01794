// The Query class: a query's clauses, SELECT clauses and CTEs.
#include "python/compare.hpp"
#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/lists.hpp"
#include "python/source_arg.hpp"
#include "python/types.hpp"
#include "query/lineage.hpp"
#include "query/navigation.hpp"
#include "tree/print.hpp"

namespace trelm::python {
namespace {

const cst::NodeRef& node_of(PyObject* self) { return as<PyNodeHandle>(self)->node; }
const SharedDoc& doc_of(PyObject* self) { return as<PyNodeHandle>(self)->doc; }

PyObject* query_clauses(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return handle_list(clause_type(), query::clauses(node_of(self)), doc_of(self)); });
}

PyObject* query_selects(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return select_list(query::selects(node_of(self)), node_of(self), doc_of(self)); });
}

PyObject* query_select(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr,
                            [&] { return optional_select(query::first_select(node_of(self)), node_of(self), doc_of(self)); });
}

PyObject* query_ctes(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return handle_list(cte_type(), query::ctes(node_of(self)), doc_of(self)); });
}

PyObject* query_cte(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"name", nullptr};
    PyObject* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:cte", const_cast<char**>(kwlist), &name)) return nullptr;
    std::optional<std::string_view> text = utf8_arg(name, "cte", "name");
    if (!text) return nullptr;
    return optional_handle(cte_type(), query::cte(node_of(self), *text), doc_of(self));
  });
}

query::QueryReads reads_of(PyObject* self) {
  const SharedDoc& doc = doc_of(self);
  return query::query_reads(node_of(self), query::outer_ctes(doc->doc, node_of(self)));
}

PyObject* query_relations(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return relation_list(reads_of(self).relations, doc_of(self)); });
}

PyObject* query_filters(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return column_ref_list(reads_of(self).filters, doc_of(self)); });
}

PyObject* query_node(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return new_handle(node_type(), node_of(self), doc_of(self)); });
}

PyObject* query_span(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return node_span(node_of(self), doc_of(self)); });
}

PyObject* query_str(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(cst::node_text(node_of(self))); });
}

PyObject* query_richcompare(PyObject* a, PyObject* b, int op) {
  return compare_by_node(a, b, op, query_type(), [](PyObject* o) { return node_of(o).get(); });
}

Py_hash_t query_hash(PyObject* self) { return hash_of_address(node_of(self).get()); }

PyObject* query_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    return to_py_str("<Query with " + counted(query::clauses(node_of(self)).size(), "clause", "clauses") + ">");
  });
}

PyMethodDef kMethods[] = {
    {"cte", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(query_cte)),
     METH_VARARGS | METH_KEYWORDS, "cte($self, name)\n--\n\nThe CTE with this name, compared ignoring case."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"clauses", query_clauses, nullptr, "Every clause, in order.", nullptr},
    {"selects", query_selects, nullptr, "Every SELECT clause: one, or several joined by UNION and similar.", nullptr},
    {"select", query_select, nullptr, "The first SELECT clause.", nullptr},
    {"ctes", query_ctes, nullptr, "The CTEs of the query's WITH clause.", nullptr},
    {"relations", query_relations, nullptr,
     "The relations the query reads, from FROM and every JOIN (comma, lateral and USING joins\nincluded), in order. "
     "A name that a CTE of this query or of an enclosing one has is a cte.",
     nullptr},
    {"filters", query_filters, nullptr,
     "The column references that decide which rows the query keeps: those of WHERE, JOIN ... ON,\nUSING, GROUP BY, "
     "HAVING, QUALIFY and of windows' PARTITION BY and ORDER BY, each with its\nclause; subqueries' own are theirs.",
     nullptr},
    {"node", query_node, nullptr, "The syntax tree node of the query.", nullptr},
    {"span", query_span, nullptr, kSpanDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A SQL query: its clauses, CTEs and SELECT clauses.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyNodeHandle>)},
    {Py_tp_str, reinterpret_cast<void*>(query_str)},
    {Py_tp_repr, reinterpret_cast<void*>(query_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(query_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(query_hash)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = class_spec("trelm_cst.Query", sizeof(PyNodeHandle), kSlots);

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* query_type() { return lazy_type(g_type, kSpec); }

}  // namespace trelm::python
