// The Diagnostic class: one problem found by Document.diagnostics(). A plain
// record of Python values, built after the core has released every lock.
#include <string>

#include "python/guard.hpp"
#include "python/lists.hpp"
#include "python/types.hpp"

namespace trelm::python {
namespace {

struct PyDiagnostic {
  PyObject_HEAD
  PyObject* code;
  PyObject* message;
  PyObject* severity;
  PyObject* span;
  PyObject* line;
  PyObject* column;
};

PyDiagnostic* as_diagnostic(PyObject* self) { return reinterpret_cast<PyDiagnostic*>(self); }

void diagnostic_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyDiagnostic* d = as_diagnostic(self);
  Py_XDECREF(d->code);
  Py_XDECREF(d->message);
  Py_XDECREF(d->severity);
  Py_XDECREF(d->span);
  Py_XDECREF(d->line);
  Py_XDECREF(d->column);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

template <PyObject* PyDiagnostic::*Field>
PyObject* get_field(PyObject* self, void*) {
  return Py_NewRef(as_diagnostic(self)->*Field);
}

PyObject* diagnostic_repr(PyObject* self) {
  PyDiagnostic* d = as_diagnostic(self);
  return PyUnicode_FromFormat("<Diagnostic %U %U at %S:%S: %U>", d->severity, d->code, d->line, d->column,
                              d->message);
}

PyGetSetDef kGetSet[] = {
    {"code", get_field<&PyDiagnostic::code>, nullptr, "What kind of problem, such as `jinja-syntax`.", nullptr},
    {"message", get_field<&PyDiagnostic::message>, nullptr, "What is wrong, and what was expected where.", nullptr},
    {"severity", get_field<&PyDiagnostic::severity>, nullptr, "`error` or `warning`.", nullptr},
    {"span", get_field<&PyDiagnostic::span>, nullptr, "(start, end): indices into str(document).", nullptr},
    {"line", get_field<&PyDiagnostic::line>, nullptr, "1-based line of the start.", nullptr},
    {"column", get_field<&PyDiagnostic::column>, nullptr, "1-based column of the start, in characters.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A problem in a document that the template engine would refuse, or a warning.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(diagnostic_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(diagnostic_repr)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = class_spec("trelm_cst.Diagnostic", sizeof(PyDiagnostic), kSlots);

PyTypeObject* g_type = nullptr;

PyObject* new_diagnostic(const query::Diagnostic& d) {
  PyRef code = PyRef::steal(to_py_str(d.code));
  PyRef message = PyRef::steal(to_py_str(d.message));
  PyRef severity = PyRef::steal(to_py_str(d.is_error ? "error" : "warning"));
  PyRef span = PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(d.char_start),
                                          static_cast<Py_ssize_t>(d.char_end)));
  PyRef line = PyRef::steal(PyLong_FromSize_t(d.line));
  PyRef column = PyRef::steal(PyLong_FromSize_t(d.column));
  if (!code || !message || !severity || !span || !line || !column) return nullptr;
  PyTypeObject* type = diagnostic_type();
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) return nullptr;
  PyDiagnostic* out = as_diagnostic(obj);
  out->code = code.release();
  out->message = message.release();
  out->severity = severity.release();
  out->span = span.release();
  out->line = line.release();
  out->column = column.release();
  return obj;
}

}  // namespace

PyTypeObject* diagnostic_type() { return lazy_type(g_type, kSpec); }

PyObject* diagnostic_list(const std::vector<query::Diagnostic>& found) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < found.size(); ++i) {
    PyObject* item = new_diagnostic(found[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

}  // namespace trelm::python
