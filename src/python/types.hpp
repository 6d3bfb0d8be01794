// The module's classes. Each is a heap type created from its spec once per
// process, on first use; the functions return a borrowed reference, or
// nullptr with an exception set when the type cannot be created.
#pragma once

#include <cstddef>

#include <string>
#include <vector>

#include "python/py_ref.hpp"
#include "python/handle.hpp"
#include "query/diagnostics.hpp"
#include "query/lineage.hpp"

namespace trelm::python {

PyTypeObject* document_type();
PyTypeObject* config_type();
PyTypeObject* query_type();
PyTypeObject* cte_type();
PyTypeObject* clause_type();
PyTypeObject* select_type();
PyTypeObject* column_type();
PyTypeObject* node_type();
PyTypeObject* token_type();
PyTypeObject* call_type();
PyTypeObject* diagnostic_type();
PyTypeObject* column_ref_type();
PyTypeObject* relation_type();
PyTypeObject* conditional_column_type();
// A new list of str.
PyObject* str_list(const std::vector<std::string>& texts);
// New lists of lineage values of a document.
PyObject* column_ref_list(std::vector<query::ColumnRef> refs, const SharedDoc& doc);
PyObject* relation_list(std::vector<query::Relation> relations, const SharedDoc& doc);
PyObject* conditional_column_list(std::vector<query::ConditionalItem> items, const SharedDoc& doc);
// A new list of Diagnostic instances.
PyObject* diagnostic_list(const std::vector<query::Diagnostic>& found);

// The PyType_Spec of one of the module's classes: no Python constructor (instances
// come only from the module, never without their node) and no subclasses.
inline PyType_Spec class_spec(const char* name, std::size_t basicsize, PyType_Slot* slots) {
  return PyType_Spec{name, static_cast<int>(basicsize), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                     slots};
}

// Creates the type for `spec` into `slot` unless it exists already.
PyTypeObject* lazy_type(PyTypeObject*& slot, PyType_Spec& spec);

// Module functions, added in this order after the classes.
extern PyMethodDef kModuleFunctions[];
// Functions added after everything else, last of all.
extern PyMethodDef kLaterFunctions[];
// Underscore-named functions the package itself uses, added last.
extern PyMethodDef kPrivateFunctions[];
// select_lineage, added after kLaterFunctions.
extern PyMethodDef kSelectLineageFunctions[];
// _lineage_files, added after kSelectLineageFunctions.
extern PyMethodDef kFileLineageFunctions[];

// render_literal(value, quote='"'), listed in kModuleFunctions.
PyObject* render_literal_function(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char kRenderLiteralDoc[];
// parse_literal(text), listed in kLaterFunctions.
PyObject* parse_literal_function(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char kParseLiteralDoc[];

}  // namespace trelm::python
