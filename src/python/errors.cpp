#include "python/errors.hpp"

#include <string>

namespace trelm::python {
namespace {

PyObject* g_syntax_error = nullptr;  // one class for the life of the process

void set_int_attr(PyObject* obj, const char* name, std::size_t value) {
  PyRef v = PyRef::steal(PyLong_FromSize_t(value));
  // A failure to decorate the exception must not replace the exception.
  if (!v || PyObject_SetAttrString(obj, name, v.get()) < 0) PyErr_Clear();
}

}  // namespace

PyObject* syntax_error_type() {
  if (g_syntax_error != nullptr) return g_syntax_error;
  PyObject* cls = PyErr_NewExceptionWithDoc(
      "trelm_cst.TrelmSyntaxError",
      "Raised when trelm source cannot be parsed. Has line, column and offset attributes.",
      PyExc_ValueError, nullptr);
  if (cls == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "Failed to initialize new exception type.");
    return nullptr;
  }
  // Creating the class may have run Python code that let another thread in
  // to create it first; keep theirs so every raise uses a single class.
  if (g_syntax_error != nullptr) {
    Py_DECREF(cls);
    return g_syntax_error;
  }
  g_syntax_error = cls;
  return g_syntax_error;
}

PyRef syntax_error(const parser::ParseError& error) {
  PyObject* cls = syntax_error_type();
  if (cls == nullptr) return {};
  std::string text = error.message + " at line " + std::to_string(error.line) + ", column " +
                     std::to_string(error.column);
  PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) return {};
  PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(cls, message.get(), nullptr));
  if (!exc) return {};
  set_int_attr(exc.get(), "line", error.line);
  set_int_attr(exc.get(), "column", error.column);
  set_int_attr(exc.get(), "offset", error.offset);
  return exc;
}

PyObject* raise_syntax_error(const parser::ParseError& error) {
  PyRef exc = syntax_error(error);
  if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

PyObject* raise_edit_error(const edit::EditError& error) {
  switch (error.kind) {
    case edit::EditError::Kind::Syntax:
      return raise_syntax_error(error.syntax);
    case edit::EditError::Kind::OnlyItem:
      PyErr_SetString(PyExc_ValueError, std::string(edit::kOnlyItemMessage).c_str());
      return nullptr;
    case edit::EditError::Kind::NotInSelect:
      PyErr_SetString(PyExc_ValueError, std::string(edit::kNotInSelectMessage).c_str());
      return nullptr;
    case edit::EditError::Kind::JoinsNextClause:
      PyErr_SetString(PyExc_ValueError, error.message.c_str());
      return nullptr;
  }
  return nullptr;
}

}  // namespace trelm::python
