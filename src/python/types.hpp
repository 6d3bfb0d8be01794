// The module's classes. Each is a heap type created from its spec once per
// process, on first use; the functions return a borrowed reference, or
// nullptr with an exception set when the type cannot be created.
#pragma once

#include "python/py_ref.hpp"

namespace trelm::python {

PyTypeObject* document_type();
PyTypeObject* query_type();
PyTypeObject* cte_type();
PyTypeObject* clause_type();
PyTypeObject* select_type();
PyTypeObject* column_type();

// Creates the type for `spec` into `slot` unless it exists already.
PyTypeObject* lazy_type(PyTypeObject*& slot, PyType_Spec& spec);

// Module functions, added in this order after the classes.
extern PyMethodDef kModuleFunctions[];

}  // namespace trelm::python
