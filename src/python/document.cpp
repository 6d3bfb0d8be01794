// The Document class: a parsed file, its text and its queries.
#include <string>
#include <vector>

#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/lists.hpp"
#include "python/source_arg.hpp"
#include "python/types.hpp"
#include "query/metadata.hpp"
#include "query/navigation.hpp"
#include "tree/print.hpp"

namespace trelm::python {
namespace {

const cst::Document& doc_of(PyObject* self) { return *as<PyDocument>(self)->doc; }
const std::shared_ptr<cst::Document>& shared_doc_of(PyObject* self) { return as<PyDocument>(self)->doc; }

// Printed with the interpreter lock released: printing takes only the tree's
// read locks and gives them all back before the str is made.
PyObject* text_of(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    std::shared_ptr<cst::Document> doc = shared_doc_of(self);
    std::string text = without_interpreter_lock([&] { return cst::document_text(*doc); });
    return to_py_str(text);
  });
}

PyObject* document_str(PyObject* self) { return text_of(self); }
PyObject* document_to_string(PyObject* self, PyObject*) { return text_of(self); }

PyObject* document_parse(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] { return parse_to_document(args, kwargs, "parse"); });
}

PyObject* document_queries(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] {
    std::vector<cst::NodeRef> found = query::queries(doc_of(self));
    return handle_list(query_type(), found);
  });
}

PyObject* document_query(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    std::optional<cst::NodeRef> found = query::query(doc_of(self));
    return optional_handle(query_type(), found);
  });
}

PyObject* document_config(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!query::config_index(doc_of(self))) Py_RETURN_NONE;
    return new_instance<PyConfig>(config_type(), shared_doc_of(self));
  });
}

// A tuple of str, one per element of `texts`.
PyObject* str_tuple(const std::vector<std::string>& texts) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* item = to_py_str(texts[i]);
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return tuple.release();
}

// A list of str tuples, one per element of `rows`.
PyObject* tuple_list(const std::vector<std::vector<std::string>>& rows) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyObject* item = str_tuple(rows[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* document_refs(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return tuple_list(query::refs(doc_of(self))); });
}

PyObject* document_sources(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    std::vector<std::vector<std::string>> pairs;
    for (auto& [source, table] : query::sources(doc_of(self))) pairs.push_back({std::move(source), std::move(table)});
    return tuple_list(pairs);
  });
}

PyObject* document_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    std::size_t n = query::queries(doc_of(self)).size();
    return to_py_str("<Document with " + std::to_string(n) + " queries>");
  });
}

PyMethodDef kMethods[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(document_parse)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, "parse(source)\n--\n\nParses trelm source into a Document."},
    {"to_string", document_to_string, METH_NOARGS, "to_string($self)\n--\n\nThe document as trelm source."},
    {"queries", document_queries, METH_NOARGS,
     "queries($self)\n--\n\nEvery query in the file, including CTE bodies and subqueries, outermost first."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"query", document_query, nullptr, "The first query at the top level of the file: the model's own SELECT.",
     nullptr},
    {"config", document_config, nullptr, "The `{{ config(...) }}` call at the top level of the file.", nullptr},
    {"refs", document_refs, nullptr, "The arguments of every ref() call: (model,) or (package, model).", nullptr},
    {"sources", document_sources, nullptr, "The (source_name, table_name) of every source() call.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A parsed trelm file. str() returns the source, including any edits.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyDocument>)},
    {Py_tp_str, reinterpret_cast<void*>(document_str)},
    {Py_tp_repr, reinterpret_cast<void*>(document_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = class_spec("trelm_cst.Document", sizeof(PyDocument), kSlots);

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* document_type() { return lazy_type(g_type, kSpec); }

}  // namespace trelm::python
