#include <memory>
#include <variant>

#include "parser/parse.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/source_arg.hpp"
#include "python/types.hpp"

namespace trelm::python {

std::optional<std::string_view> utf8_arg(PyObject* arg, const char* func, const char* name) {
  if (!PyUnicode_Check(arg)) {
    PyRef type_name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(arg)), "__name__"));
    if (!type_name) return std::nullopt;
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %U", func, name, type_name.get());
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

namespace {

PyObject* document_of_source(PyObject* source, const char* func);

// Any call but the common one: the general reading of the arguments, which
// also words every error about them.
PyObject* parse_to_document(PyObject* args, PyObject* kwargs, const char* func) {
  static const char* kwlist[] = {"source", nullptr};
  PyObject* source = nullptr;
  std::string format = std::string("O:") + func;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(kwlist), &source)) {
    return nullptr;
  }
  return document_of_source(source, func);
}

PyObject* document_of_source(PyObject* source, const char* func) {
  // The UTF-8 text is a view into the str (its own bytes, or the UTF-8 copy
  // it caches), read with the interpreter lock released: the reference
  // taken here keeps the str, and so the view, alive until the parse ends
  // whatever other threads do. The tree reads an exact str in place and
  // keeps it through its owner, so the source is not held twice; a
  // subclass of str is copied, since dropping it might run Python code.
  PyRef keep = PyRef::borrow(source);
  std::optional<std::string_view> text = utf8_arg(source, func, "source");
  if (!text) return nullptr;
  std::shared_ptr<const void> owner;
  if (PyUnicode_CheckExact(source)) owner = str_owner(source);
  // The document's state is made in the release too: the less the lock
  // is held per file, the more threads parse at once.
  std::variant<SharedDoc, parser::ParseError> parsed =
      without_interpreter_lock([&]() -> std::variant<SharedDoc, parser::ParseError> {
        parser::ParseResult result = parser::parse(*text, std::move(owner));
        if (auto* err = std::get_if<parser::ParseError>(&result)) return std::move(*err);
        return std::make_shared<DocState>(std::move(std::get<cst::Document>(result)), text->size());
      });
  if (auto* err = std::get_if<parser::ParseError>(&parsed)) return raise_syntax_error(*err);
  return new_instance<PyDocument>(document_type(), std::move(std::get<SharedDoc>(parsed)));
}

// The arguments of a fast call as a tuple and a dict, for the general way.
PyObject* parse_from_fast_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* func) {
  PyRef tuple = PyRef::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    if (PyTuple_SetItem(tuple.get(), i, Py_NewRef(args[i])) != 0) return nullptr;
  }
  PyRef dict;
  if (kwnames != nullptr) {
    dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (PyDict_SetItem(dict.get(), PyTuple_GetItem(kwnames, i), args[nargs + i]) != 0) return nullptr;
    }
  }
  return parse_to_document(tuple.get(), dict.get(), func);
}

}  // namespace

PyObject* parse_fast_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* func) {
  // The common call, one str by position, reads it straight from the stack:
  // a parse of a small file is a few microseconds, and building a tuple and
  // reading a format cost a few percent of it, all with the lock held.
  if (nargs == 1 && kwnames == nullptr) return document_of_source(args[0], func);
  return parse_from_fast_call(args, nargs, kwnames, func);
}

namespace {

PyObject* parse_trelm(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] { return parse_fast_call(args, nargs, kwnames, "parse_trelm"); });
}

}  // namespace

PyMethodDef kModuleFunctions[] = {
    {"parse_trelm", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(parse_trelm)),
     METH_FASTCALL | METH_KEYWORDS, "parse_trelm(source)\n--\n\nParses a trelm file into a Document."},
    {"render_literal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(render_literal_function)),
     METH_VARARGS | METH_KEYWORDS, kRenderLiteralDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kLaterFunctions[] = {
    {"parse_literal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(parse_literal_function)),
     METH_VARARGS | METH_KEYWORDS, kParseLiteralDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace trelm::python
