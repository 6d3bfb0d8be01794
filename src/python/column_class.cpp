// The Column class: one item of a SELECT list.
#include <string>

#include "edit/select_edit.hpp"
#include "python/compare.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/lists.hpp"
#include "python/query_context.hpp"
#include "python/source_arg.hpp"
#include "python/types.hpp"
#include "query/lineage.hpp"
#include "query/select_item.hpp"
#include "tree/print.hpp"

namespace trelm::python {
namespace {

PyColumn* column_of(PyObject* self) { return as<PyColumn>(self); }

// Runs `read` over the item's children under the item's read lock.
template <typename Read>
auto read_item(PyObject* self, Read&& read) {
  const cst::NodeRef& item = column_of(self)->item;
  auto lock = item->read_lock();
  return read(item->children);
}

PyObject* column_text(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(cst::node_text(column_of(self)->item)); });
}

int column_set_text(PyObject* self, PyObject* value, void*) {
  return guarded<int>(-1, [&]() -> int {
    if (value == nullptr) {
      PyErr_SetString(PyExc_AttributeError, "cannot delete attribute 'text'");
      return -1;
    }
    std::optional<std::string_view> text = utf8_arg(value, "text", "text");
    if (!text) return -1;
    PyColumn* col = column_of(self);
    std::optional<edit::EditError> err;
    {
      QueryContext context(col->query, col->select);
      auto lock = col->select->write_lock();
      err = edit::set_item_text_in(*col->select, col->item, *text, context.following());
    }
    col->doc->edited();
    if (err) {
      raise_edit_error(*err);
      return -1;
    }
    return 0;
  });
}

PyObject* column_expr(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(read_item(self, query::item_expr)); });
}

PyObject* column_alias(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    std::optional<query::AliasParts> parts = read_item(self, query::alias_parts);
    return optional_str(parts ? std::optional<std::string>(std::move(parts->alias)) : std::nullopt);
  });
}

PyObject* column_name(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return optional_str(read_item(self, query::item_name)); });
}

PyObject* column_is_templated(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return PyBool_FromLong(read_item(self, query::item_is_templated)); });
}

PyObject* column_references(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    return column_ref_list(read_item(self, query::item_lineage).references, column_of(self)->doc);
  });
}

PyObject* column_kind(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(query::kind_name(read_item(self, query::item_lineage).kind)); });
}

PyObject* column_excluded(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return str_list(read_item(self, query::item_lineage).excluded); });
}

PyObject* column_select(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return new_select(column_of(self)->select, column_of(self)->query, column_of(self)->doc); });
}

PyObject* column_detach(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyColumn* col = column_of(self);
    std::optional<edit::EditError> err;
    {
      QueryContext context(col->query, col->select);
      auto lock = col->select->write_lock();
      err = edit::remove_item(*col->select, col->item, context.following());
    }
    col->doc->edited();
    if (!err) Py_RETURN_TRUE;
    if (err->kind == edit::EditError::Kind::NotInSelect) Py_RETURN_FALSE;
    return raise_edit_error(*err);
  });
}

PyObject* column_node(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr,
                            [&] { return new_handle(node_type(), column_of(self)->item, column_of(self)->doc); });
}

PyObject* column_span(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return node_span(column_of(self)->item, column_of(self)->doc); });
}

PyObject* column_str(PyObject* self) { return column_text(self, nullptr); }

PyObject* column_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr,
                            [&] { return to_py_str("<Column " + cst::node_text(column_of(self)->item) + ">"); });
}

PyObject* column_richcompare(PyObject* a, PyObject* b, int op) {
  return compare_by_node(a, b, op, column_type(), [](PyObject* o) { return column_of(o)->item.get(); });
}

Py_hash_t column_hash(PyObject* self) { return hash_of_address(column_of(self)->item.get()); }

PyMethodDef kMethods[] = {
    {"detach", column_detach, METH_NOARGS,
     "detach($self)\n--\n\nRemoves the column from its SELECT clause. Returns False when it was already removed;\nraises ValueError for the only column, or when the list would then end in `*` or\n"
     "`distinct` right before the next clause, which would take it in."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"text", column_text, column_set_text,
     "The item as written, such as `t.amount AS dollars`. Setting it raises TrelmSyntaxError\nas add() does, and "
     "ValueError once the column was removed.",
     nullptr},
    {"expr", column_expr, nullptr, "The item without its alias.", nullptr},
    {"alias", column_alias, nullptr, "The alias as written, including any quotes.", nullptr},
    {"name", column_name, nullptr,
     "The column name the item produces, unquoted: its alias, or the last part of a plain\ncolumn reference. None "
     "for an unaliased expression.",
     nullptr},
    {"is_templated", column_is_templated, nullptr,
     "True when the item contains Jinja, such as `{{ trelm_utils.star(...) }}` or a for loop.", nullptr},
    {"references", column_references, nullptr,
     "Every column reference of the item's expression, in order, as it was when read: not\nfunction names, keywords, "
     "types, date parts, literals, named arguments, lambda\nparameters, nor the references of subqueries. `t.*` and "
     "`*` are one reference named `*`.",
     nullptr},
    {"kind", column_kind, nullptr,
     "How the column comes from what it reads: direct (one bare reference of the same name),\nrenamed (one bare "
     "reference, another name), expression, aggregate (an aggregate or window\nfunction), constant (no reference), "
     "star (`*`, `t.*`, with EXCEPT/EXCLUDE) or templated\n(Jinja inside; its references are still listed).",
     nullptr},
    {"excluded", column_excluded, nullptr,
     "The names a star column leaves out with `* except (...)` or `* exclude (...)`, unquoted.", nullptr},
    {"select", column_select, nullptr, "The SELECT clause the column belongs to.", nullptr},
    {"node", column_node, nullptr, "The syntax tree node of the column.", nullptr},
    {"span", column_span, nullptr, kSpanDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("One item of a SELECT clause.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyColumn>)},
    {Py_tp_str, reinterpret_cast<void*>(column_str)},
    {Py_tp_repr, reinterpret_cast<void*>(column_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(column_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(column_hash)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = class_spec("trelm_cst.Column", sizeof(PyColumn), kSlots);

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* column_type() { return lazy_type(g_type, kSpec); }

}  // namespace trelm::python
