// The extension module `trelm_cst._native`: multi-phase initialisation, with
// all work in the exec step.
#include "python/errors.hpp"
#include "python/types.hpp"

namespace trelm::python {
namespace {

struct NamedType {
  const char* name;
  PyTypeObject* (*get)();
};

// The order in which the module exposes its classes.
const NamedType kClasses[] = {
    {"Document", document_type}, {"Config", config_type}, {"Query", query_type}, {"Cte", cte_type},
    {"Clause", clause_type},     {"Select", select_type}, {"Column", column_type},
};

int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "module setup expects a module object");
    return -1;
  }
  for (const NamedType& cls : kClasses) {
    PyTypeObject* type = cls.get();
    if (type == nullptr) return -1;
    if (PyModule_AddObjectRef(module, cls.name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
  }
  if (PyModule_AddFunctions(module, kModuleFunctions) < 0) return -1;
  PyObject* exc = syntax_error_type();
  if (exc == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "TrelmSyntaxError", exc) < 0) return -1;
  PyTypeObject* diagnostic = diagnostic_type();
  if (diagnostic == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "Diagnostic", reinterpret_cast<PyObject*>(diagnostic)) < 0) return -1;
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
