// The extension module `trelm_cst._native`: multi-phase initialisation, with
// all work in the exec step.
#include <iterator>

#include "python/errors.hpp"
#include "python/types.hpp"

#include <new>

namespace trelm::python {
namespace {

struct NamedType {
  const char* name;
  PyTypeObject* (*get)();
};

// The order in which the module exposes its classes: first these, then
// the functions of kModuleFunctions and TrelmSyntaxError, then kLaterClasses
// and kLaterFunctions, then kSelectLineageFunctions and kFileLineageFunctions.
const NamedType kClasses[] = {
    {"Document", document_type}, {"Config", config_type}, {"Query", query_type}, {"Cte", cte_type},
    {"Clause", clause_type},     {"Select", select_type}, {"Column", column_type},
};
const NamedType kLaterClasses[] = {
    {"Node", node_type},
    {"Token", token_type},
    {"Call", call_type},
    {"Diagnostic", diagnostic_type},
    {"ColumnRef", column_ref_type},
    {"Relation", relation_type},
    {"ConditionalColumn", conditional_column_type},
};

int add_classes(PyObject* module, const NamedType* first, const NamedType* last) {
  for (const NamedType* cls = first; cls != last; ++cls) {
    PyTypeObject* type = cls->get();
    if (type == nullptr) return -1;
    if (PyModule_AddObjectRef(module, cls->name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
  }
  return 0;
}

// The first C++ exception a process throws sets up state in the loader and
// the unwinder that needs memory, and the loader ends the process when it gets
// none. Throwing one here, at import, means a bad_alloc thrown later under
// memory pressure finds everything in place and becomes a MemoryError.
void prepare_exception_handling() {
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
}

int module_exec(PyObject* module) {
  prepare_exception_handling();
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "module setup expects a module object");
    return -1;
  }
  if (add_classes(module, std::begin(kClasses), std::end(kClasses)) < 0) return -1;
  if (PyModule_AddFunctions(module, kModuleFunctions) < 0) return -1;
  PyObject* exc = syntax_error_type();
  if (exc == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "TrelmSyntaxError", exc) < 0) return -1;
  if (add_classes(module, std::begin(kLaterClasses), std::end(kLaterClasses)) < 0) return -1;
  if (PyModule_AddFunctions(module, kLaterFunctions) < 0) return -1;
  if (PyModule_AddFunctions(module, kPrivateFunctions) < 0) return -1;
  if (PyModule_AddFunctions(module, kSelectLineageFunctions) < 0) return -1;
  if (PyModule_AddFunctions(module, kFileLineageFunctions) < 0) return -1;
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_native",
    nullptr,  // no module docstring
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace trelm::python

extern "C" PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&trelm::python::kModule); }
