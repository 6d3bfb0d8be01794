// The Select class: a SELECT clause's columns, read and edited.
#include <limits>
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
#include "query/navigation.hpp"
#include "query/select_item.hpp"
#include "tree/print.hpp"

namespace trelm::python {
namespace {

const cst::NodeRef& node_of(PyObject* self) { return as<PySelect>(self)->node; }
const cst::NodeRef& query_of(PyObject* self) { return as<PySelect>(self)->query; }
const SharedDoc& doc_of(PyObject* self) { return as<PySelect>(self)->doc; }

std::vector<cst::NodeRef> items_of(const cst::NodeRef& select) {
  auto lock = select->read_lock();
  return query::select_items(select->children);
}

struct NamedItem {
  std::size_t position;
  cst::NodeRef item;
};

// The first item whose column name equals `name` ignoring ASCII case. The
// caller holds the select node's lock (read or write); each item is
// read-locked while its name is computed.
std::optional<NamedItem> find_named(const cst::NodeRef& select, std::string_view name) {
  std::size_t position = 0;
  for (const cst::Child& c : select->children) {
    if (!c.is_node_tag(cst::NodeTag::SelectItem)) continue;
    std::optional<std::string> item_name;
    {
      auto lock = c.node()->read_lock();
      item_name = query::item_name(c.node()->children);
    }
    if (item_name && cst::equals_folded(*item_name, name)) return NamedItem{position, c.node()};
    ++position;
  }
  return std::nullopt;
}

std::optional<NamedItem> find_named_locked(const cst::NodeRef& select, std::string_view name) {
  auto lock = select->read_lock();
  return find_named(select, name);
}

PyObject* select_columns(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return column_list(items_of(node_of(self)), node_of(self), query_of(self), doc_of(self)); });
}

PyObject* select_conditional_columns(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    std::vector<query::ConditionalItem> items;
    {
      auto lock = node_of(self)->read_lock();
      items = query::conditional_items(node_of(self)->children);
    }
    return conditional_column_list(std::move(items), doc_of(self));
  });
}

PyObject* select_names(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<std::optional<std::string>> names;
    for (const cst::NodeRef& item : items_of(node_of(self))) {
      auto lock = item->read_lock();
      names.push_back(query::item_name(item->children));
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
      PyObject* v = optional_str(names[i]);
      if (v == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
  });
}

std::optional<std::string_view> name_arg(PyObject* args, PyObject* kwargs, const char* format, const char* func) {
  static const char* kwlist[] = {"name", nullptr};
  PyObject* name = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &name)) return std::nullopt;
  return utf8_arg(name, func, "name");
}

PyObject* select_find(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::optional<std::string_view> name = name_arg(args, kwargs, "O:find", "find");
    if (!name) return nullptr;
    std::optional<NamedItem> found = find_named_locked(node_of(self), *name);
    if (!found) Py_RETURN_NONE;
    return new_column(found->item, node_of(self), query_of(self), doc_of(self));
  });
}

PyObject* select_index(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::optional<std::string_view> name = name_arg(args, kwargs, "O:index", "index");
    if (!name) return nullptr;
    std::optional<NamedItem> found = find_named_locked(node_of(self), *name);
    if (!found) Py_RETURN_NONE;
    return PyLong_FromSize_t(found->position);
  });
}

// None or absent means the end; a negative int fails the unsigned conversion.
std::optional<std::size_t> index_arg(PyObject* index) {
  if (index == nullptr || index == Py_None) return std::numeric_limits<std::size_t>::max();
  if (!PyLong_Check(index)) {
    PyRef type_name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(index)), "__name__"));
    if (type_name) PyErr_Format(PyExc_TypeError, "add() argument 'index' must be int or None, not %U", type_name.get());
    return std::nullopt;
  }
  std::size_t value = PyLong_AsSize_t(index);
  if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) return std::nullopt;
  return value;
}

PyObject* select_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"text", "index", nullptr};
    PyObject* text_obj = nullptr;
    PyObject* index_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:add", const_cast<char**>(kwlist), &text_obj, &index_obj)) {
      return nullptr;
    }
    std::optional<std::string_view> text = utf8_arg(text_obj, "add", "text");
    if (!text) return nullptr;
    std::optional<std::size_t> index = index_arg(index_obj);
    if (!index) return nullptr;
    const cst::NodeRef& select = node_of(self);
    edit::InsertResult result;
    {
      QueryContext context(query_of(self), select);
      auto lock = select->write_lock();
      result = edit::insert_item(*select, *index, *text, context.following());
    }
    doc_of(self)->edited();
    if (auto* err = std::get_if<edit::EditError>(&result)) return raise_edit_error(*err);
    return new_column(std::get<cst::NodeRef>(result), select, query_of(self), doc_of(self));
  });
}

// True / False / nullptr (raised) for the outcome of a removal.
PyObject* removal_result(const std::optional<edit::EditError>& err) {
  if (!err) Py_RETURN_TRUE;
  if (err->kind == edit::EditError::Kind::NotInSelect) Py_RETURN_FALSE;
  return raise_edit_error(*err);
}

PyObject* select_remove(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"target", nullptr};
    PyObject* target = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:remove", const_cast<char**>(kwlist), &target)) return nullptr;
    const cst::NodeRef& select = node_of(self);
    std::optional<edit::EditError> err;
    if (Py_TYPE(target) == column_type()) {
      cst::NodeRef item = as<PyColumn>(target)->item;
      QueryContext context(query_of(self), select);
      auto lock = select->write_lock();
      err = edit::remove_item(*select, item, context.following());
    } else {
      std::optional<std::string_view> name = utf8_arg(target, "remove", "target");
      if (!name) return nullptr;
      // One write lock across lookup and removal: no other edit of this
      // list can come between finding the item and removing it.
      QueryContext context(query_of(self), select);
      auto lock = select->write_lock();
      std::optional<NamedItem> found = find_named(select, *name);
      if (!found) Py_RETURN_FALSE;
      err = edit::remove_item(*select, found->item, context.following());
    }
    doc_of(self)->edited();
    return removal_result(err);
  });
}

Py_ssize_t select_len(PyObject* self) {
  return guarded<Py_ssize_t>(-1, [&] { return static_cast<Py_ssize_t>(items_of(node_of(self)).size()); });
}

PyObject* select_iter(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyRef list = PyRef::steal(column_list(items_of(node_of(self)), node_of(self), query_of(self), doc_of(self)));
    if (!list) return nullptr;
    return PyObject_GetIter(list.get());
  });
}

int select_contains(PyObject* self, PyObject* name) {
  return guarded<int>(-1, [&]() -> int {
    std::optional<std::string_view> text = utf8_arg(name, "__contains__", "name");
    if (!text) return -1;
    return find_named_locked(node_of(self), *text) ? 1 : 0;
  });
}

PyObject* select_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    return to_py_str("<Select with " + counted(items_of(node_of(self)).size(), "column", "columns") + ">");
  });
}

PyObject* select_node(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return new_handle(node_type(), node_of(self), doc_of(self)); });
}

PyObject* select_span(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return node_span(node_of(self), doc_of(self)); });
}

PyObject* select_str(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(cst::node_text(node_of(self))); });
}

PyObject* select_richcompare(PyObject* a, PyObject* b, int op) {
  return compare_by_node(a, b, op, select_type(), [](PyObject* o) { return node_of(o).get(); });
}

Py_hash_t select_hash(PyObject* self) { return hash_of_address(node_of(self).get()); }

template <typename F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef kMethods[] = {
    {"add", as_cfunction(select_add), METH_VARARGS | METH_KEYWORDS,
     "add($self, text, index=None)\n--\n\nAdds a column written as SQL, such as `user_id` or `amount / 100 AS "
     "dollars`, at index,\nor at the end. It is laid out like its neighbours, in their comma style. Raises\n"
     "TrelmSyntaxError when the text is not exactly one select item or holds Jinja that does not\ncheck on its own "
     "(a block left open, a tag the engine refuses), ValueError when the list\nwould then end in `*` right before an "
     "EXCEPT, which would take it in."},
    {"remove", as_cfunction(select_remove), METH_VARARGS | METH_KEYWORDS,
     "remove($self, target)\n--\n\nRemoves a column, given as a Column or a name, with its comma and comments. "
     "Returns\nFalse when there is no such column; raises ValueError for the only column, or when the\n"
     "list would then end in `*` or `distinct` right before the next clause, which would take it in."},
    {"find", as_cfunction(select_find), METH_VARARGS | METH_KEYWORDS,
     "find($self, name)\n--\n\nThe first column with this name, compared ignoring case."},
    {"index", as_cfunction(select_index), METH_VARARGS | METH_KEYWORDS,
     "index($self, name)\n--\n\nThe position of the first column with this name, compared ignoring case."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"columns", select_columns, nullptr, "The columns, in order.", nullptr},
    {"conditional_columns", select_conditional_columns, nullptr,
     "The columns that only a Jinja block of the list holds, such as `b` in\n`a {% if x %}, b{% endif %}`, each "
     "with the tag of its branch; outer blocks first.",
     nullptr},
    {"names", select_names, nullptr, "Each column's name, or None for an unaliased expression.", nullptr},
    {"node", select_node, nullptr, "The syntax tree node of the SELECT clause.", nullptr},
    {"span", select_span, nullptr, kSpanDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A SELECT clause and its columns.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PySelect>)},
    {Py_tp_str, reinterpret_cast<void*>(select_str)},
    {Py_tp_repr, reinterpret_cast<void*>(select_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(select_iter)},
    {Py_sq_length, reinterpret_cast<void*>(select_len)},
    {Py_sq_contains, reinterpret_cast<void*>(select_contains)},
    {Py_tp_richcompare, reinterpret_cast<void*>(select_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(select_hash)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = class_spec("trelm_cst.Select", sizeof(PySelect), kSlots);

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* select_type() { return lazy_type(g_type, kSpec); }

}  // namespace trelm::python
