// ColumnRef, Relation and ConditionalColumn: what a query reads, as it was
// when read. Two of them are equal when they cover the same tokens of the
// same document; their spans follow those tokens while they stay.
#include <string>
#include <tuple>
#include <utility>

#include "python/compare.hpp"
#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/lists.hpp"
#include "python/types.hpp"

namespace trelm::python {
namespace {

// Where [first, last] is in the document now; nullopt once either token is
// gone.
std::optional<cst::TextSpan> range_span(const query::TokenRange& range, const SharedDoc& doc) {
  std::shared_ptr<const cst::PositionIndex> index = doc->index();
  std::optional<cst::TextSpan> first = index->token_span(range.first);
  std::optional<cst::TextSpan> last = index->token_span(range.last);
  if (!first || !last || last->end < first->start) return std::nullopt;
  return cst::TextSpan{first->start, last->end};
}

Py_hash_t hash_of_range(const query::TokenRange& range, std::size_t salt) {
  return hash_of_address(range.first.address, salt ^ reinterpret_cast<std::uintptr_t>(range.last.address) ^
                                                  range.first.serial);
}

template <typename T, typename Key>
PyObject* compare_values(PyObject* a, PyObject* b, int op, PyTypeObject* type, Key key) {
  return compare_by_key(a, b, op, type, [&](PyObject* o) {
    T* self = as<T>(o);
    return std::make_pair(self->doc.get(), key(self));
  });
}

PyObject* kind_str(std::string_view kind) { return to_py_str(kind); }

// ---- ColumnRef

const query::ColumnRef& ref_of(PyObject* self) { return as<PyColumnRef>(self)->ref; }

std::string dotted(const query::ColumnRef& ref) {
  return ref.qualifier ? *ref.qualifier + "." + ref.name : ref.name;
}

PyObject* ref_qualifier(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return optional_str(ref_of(self).qualifier); });
}

PyObject* ref_name(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(ref_of(self).name); });
}

PyObject* ref_clause(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    const std::string& clause = ref_of(self).clause;
    return optional_str(clause.empty() ? std::nullopt : std::optional<std::string>(clause));
  });
}

PyObject* ref_span(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr,
                            [&] { return optional_span(range_span(ref_of(self).range, as<PyColumnRef>(self)->doc)); });
}

PyObject* ref_str(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(dotted(ref_of(self))); });
}

PyObject* ref_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    const query::ColumnRef& ref = ref_of(self);
    std::string text = "<ColumnRef " + dotted(ref);
    if (!ref.clause.empty()) text += " in " + ref.clause;
    return to_py_str(text + ">");
  });
}

PyObject* ref_richcompare(PyObject* a, PyObject* b, int op) {
  return compare_values<PyColumnRef>(a, b, op, column_ref_type(), [](PyColumnRef* r) {
    const query::TokenRange& range = r->ref.range;
    return std::make_tuple(range.first.address, range.first.serial, range.last.address, range.last.serial,
                           r->ref.clause);
  });
}

Py_hash_t ref_hash(PyObject* self) { return hash_of_range(ref_of(self).range, ref_of(self).clause.size()); }

PyGetSetDef kRefGetSet[] = {
    {"qualifier", ref_qualifier, nullptr,
     "What the name is qualified with, unquoted, its parts joined by `.`: `o` in `o.amount`;\nNone for a bare name.",
     nullptr},
    {"name", ref_name, nullptr, "The column's name, unquoted; `*` for `t.*` and `*`.", nullptr},
    {"clause", ref_clause, nullptr,
     "For a reference of Query.filters, the clause that holds it: WHERE, ON, USING, GROUP BY,\nHAVING, QUALIFY, "
     "or PARTITION BY or ORDER BY of a window. None elsewhere, but for\nreferences inside a window.",
     nullptr},
    {"span", ref_span, nullptr, kSpanDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kRefSlots[] = {
    {Py_tp_doc, const_cast<char*>("A column reference, as it was when read. str() gives it dotted.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyColumnRef>)},
    {Py_tp_str, reinterpret_cast<void*>(ref_str)},
    {Py_tp_repr, reinterpret_cast<void*>(ref_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(ref_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(ref_hash)},
    {Py_tp_getset, kRefGetSet},
    {0, nullptr},
};

PyType_Spec kRefSpec = class_spec("trelm_cst.ColumnRef", sizeof(PyColumnRef), kRefSlots);
PyTypeObject* g_ref_type = nullptr;

// ---- Relation

const query::Relation& relation_of(PyObject* self) { return as<PyRelation>(self)->relation; }

PyObject* relation_kind(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return kind_str(query::kind_name(relation_of(self).kind)); });
}

PyObject* relation_name(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const query::Relation& rel = relation_of(self);
    if (rel.kind != query::RelationKind::Source) return to_py_str(rel.name);
    PyRef source = PyRef::steal(to_py_str(rel.source_name));
    PyRef table = PyRef::steal(to_py_str(rel.name));
    if (!source || !table) return nullptr;
    return PyTuple_Pack(2, source.get(), table.get());
  });
}

PyObject* relation_alias(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return optional_str(relation_of(self).alias); });
}

PyObject* relation_query(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const query::Relation& rel = relation_of(self);
    if (!rel.query) Py_RETURN_NONE;
    return new_handle(query_type(), rel.query, as<PyRelation>(self)->doc);
  });
}

PyObject* relation_span(PyObject* self, void*) {
  return guarded<PyObject*>(
      nullptr, [&] { return optional_span(range_span(relation_of(self).range, as<PyRelation>(self)->doc)); });
}

PyObject* relation_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    const query::Relation& rel = relation_of(self);
    std::string text = "<Relation " + std::string(query::kind_name(rel.kind)) + " ";
    if (rel.kind == query::RelationKind::Source) {
      text += "('" + rel.source_name + "', '" + rel.name + "')";
    } else {
      text += "'" + rel.name + "'";
    }
    if (rel.alias) text += " as " + *rel.alias;
    return to_py_str(text + ">");
  });
}

PyObject* relation_richcompare(PyObject* a, PyObject* b, int op) {
  return compare_values<PyRelation>(a, b, op, relation_type(), [](PyRelation* r) {
    const query::TokenRange& range = r->relation.range;
    return std::make_tuple(range.first.address, range.first.serial, range.last.address, range.last.serial);
  });
}

Py_hash_t relation_hash(PyObject* self) { return hash_of_range(relation_of(self).range, 1); }

PyGetSetDef kRelationGetSet[] = {
    {"kind", relation_kind, nullptr,
     "What is read: ref, source, cte, subquery, table, templated (any other Jinja), function\n(a table function "
     "or unnest) or values (a bracketed VALUES list).",
     nullptr},
    {"name", relation_name, nullptr,
     "The model of a ref, (source, table) of a source, the CTE's, table's or function's name\n(dotted, unquoted), "
     "or the tag of a templated relation; the bracket's text for a subquery\nis not given: see query.",
     nullptr},
    {"alias", relation_alias, nullptr, "The alias, unquoted, or None.", nullptr},
    {"query", relation_query, nullptr, "The query a CTE (of this query or one around it) or subquery relation reads;\nNone for the others.", nullptr},
    {"span", relation_span, nullptr, kSpanDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kRelationSlots[] = {
    {Py_tp_doc, const_cast<char*>("A relation a query reads in FROM or a JOIN, as it was when read.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyRelation>)},
    {Py_tp_repr, reinterpret_cast<void*>(relation_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(relation_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(relation_hash)},
    {Py_tp_getset, kRelationGetSet},
    {0, nullptr},
};

PyType_Spec kRelationSpec = class_spec("trelm_cst.Relation", sizeof(PyRelation), kRelationSlots);
PyTypeObject* g_relation_type = nullptr;

// ---- ConditionalColumn

const query::ConditionalItem& item_of(PyObject* self) { return as<PyConditionalColumn>(self)->item; }

PyObject* item_text(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(item_of(self).text); });
}

PyObject* item_name(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return optional_str(item_of(self).name); });
}

PyObject* item_condition(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(item_of(self).condition); });
}

PyObject* item_kind(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return kind_str(query::kind_name(item_of(self).lineage.kind)); });
}

PyObject* item_references(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    return column_ref_list(item_of(self).lineage.references, as<PyConditionalColumn>(self)->doc);
  });
}

PyObject* item_excluded(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return str_list(item_of(self).lineage.excluded); });
}

PyObject* item_span(PyObject* self, void*) {
  return guarded<PyObject*>(
      nullptr, [&] { return optional_span(range_span(item_of(self).range, as<PyConditionalColumn>(self)->doc)); });
}

PyObject* item_str(PyObject* self) { return item_text(self, nullptr); }

PyObject* item_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str("<ConditionalColumn " + item_of(self).text + ">"); });
}

PyObject* item_richcompare(PyObject* a, PyObject* b, int op) {
  return compare_values<PyConditionalColumn>(a, b, op, conditional_column_type(), [](PyConditionalColumn* c) {
    const query::TokenRange& range = c->item.range;
    return std::make_tuple(range.first.address, range.first.serial, range.last.address, range.last.serial);
  });
}

Py_hash_t item_hash(PyObject* self) { return hash_of_range(item_of(self).range, 2); }

PyGetSetDef kItemGetSet[] = {
    {"text", item_text, nullptr, "The column as written, such as `t.amount AS dollars`.", nullptr},
    {"name", item_name, nullptr,
     "The column name it produces, unquoted: its alias, or the last part of a plain column\nreference. None for an "
     "unaliased expression.",
     nullptr},
    {"condition", item_condition, nullptr,
     "The tag that opens the branch holding it, such as `{% if with_tax %}` or `{% else %}`.", nullptr},
    {"kind", item_kind, nullptr, "As Column.kind.", nullptr},
    {"references", item_references, nullptr, "As Column.references.", nullptr},
    {"excluded", item_excluded, nullptr, "As Column.excluded.", nullptr},
    {"span", item_span, nullptr, kSpanDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kItemSlots[] = {
    {Py_tp_doc, const_cast<char*>("A column that only a Jinja block of a SELECT list holds, as it was when read.\n"
                                  "str() gives its text.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyConditionalColumn>)},
    {Py_tp_str, reinterpret_cast<void*>(item_str)},
    {Py_tp_repr, reinterpret_cast<void*>(item_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(item_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(item_hash)},
    {Py_tp_getset, kItemGetSet},
    {0, nullptr},
};

PyType_Spec kItemSpec = class_spec("trelm_cst.ConditionalColumn", sizeof(PyConditionalColumn), kItemSlots);
PyTypeObject* g_item_type = nullptr;

template <typename T, typename V>
PyObject* value_list(PyTypeObject* type, std::vector<V> values, const SharedDoc& doc) {
  if (type == nullptr) return nullptr;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = new_instance<T>(type, std::move(values[i]), doc);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

}  // namespace

PyTypeObject* column_ref_type() { return lazy_type(g_ref_type, kRefSpec); }
PyTypeObject* relation_type() { return lazy_type(g_relation_type, kRelationSpec); }
PyTypeObject* conditional_column_type() { return lazy_type(g_item_type, kItemSpec); }

PyObject* column_ref_list(std::vector<query::ColumnRef> refs, const SharedDoc& doc) {
  return value_list<PyColumnRef>(column_ref_type(), std::move(refs), doc);
}

PyObject* relation_list(std::vector<query::Relation> relations, const SharedDoc& doc) {
  return value_list<PyRelation>(relation_type(), std::move(relations), doc);
}

PyObject* conditional_column_list(std::vector<query::ConditionalItem> items, const SharedDoc& doc) {
  return value_list<PyConditionalColumn>(conditional_column_type(), std::move(items), doc);
}

PyObject* str_list(const std::vector<std::string>& texts) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* item = to_py_str(texts[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace trelm::python
