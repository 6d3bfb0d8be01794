// The module functions render_literal, a Python value as Jinja source, and
// parse_literal, the inverse.
#include <optional>
#include <string>

#include "jinja/literal_reader.hpp"
#include "jinja/render.hpp"
#include "python/source_arg.hpp"
#include "python/guard.hpp"
#include "python/literal_convert.hpp"
#include "python/lists.hpp"
#include "python/types.hpp"

namespace trelm::python {
namespace {

// The quote character, '"' when absent; nullopt with the error set. Checked
// before the value is looked at.
std::optional<char> quote_arg(PyObject* quote) {
  if (quote == nullptr) return '"';
  if (!PyUnicode_Check(quote)) {
    PyRef type_name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(quote)), "__name__"));
    if (type_name) {
      PyErr_Format(PyExc_TypeError, "render_literal() argument 'quote' must be str, not %S", type_name.get());
    }
    return std::nullopt;
  }
  Py_ssize_t length = PyUnicode_GetLength(quote);
  if (length < 0) return std::nullopt;
  if (length != 1) {
    PyErr_Format(PyExc_TypeError, "render_literal() argument 'quote' must be a str of length 1, not length %zd",
                 length);
    return std::nullopt;
  }
  Py_UCS4 ch = PyUnicode_ReadChar(quote, 0);
  if (ch != '"' && ch != '\'') {
    PyErr_SetString(PyExc_ValueError, "quote must be \" or '");
    return std::nullopt;
  }
  return static_cast<char>(ch);
}

}  // namespace

const char kRenderLiteralDoc[] =
    "render_literal(value, quote='\"')\n--\n\nRenders a Python value as Jinja literal source, the way "
    "Config.__setitem__ writes it.";

PyObject* render_literal_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"value", "quote", nullptr};
    PyObject* value = nullptr;
    PyObject* quote = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:render_literal", const_cast<char**>(kwlist), &value,
                                     &quote)) {
      return nullptr;
    }
    std::optional<char> q = quote_arg(quote);
    if (!q) return nullptr;
    std::optional<jinja::Literal> literal = py_to_literal(value);
    if (!literal) return nullptr;
    return to_py_str(jinja::render_literal(*literal, *q));
  });
}

const char kParseLiteralDoc[] =
    "parse_literal(text)\n--\n\nThe Python value of a Jinja literal, such as `'view'` or `['a', 1]`: the inverse "
    "of\nrender_literal. Raises ValueError when the text is not one literal.";

PyObject* parse_literal_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"text", nullptr};
    PyObject* text_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:parse_literal", const_cast<char**>(kwlist), &text_obj)) {
      return nullptr;
    }
    std::optional<std::string_view> text = utf8_arg(text_obj, "parse_literal", "text");
    if (!text) return nullptr;
    std::optional<jinja::Literal> literal = jinja::parse_literal(*text, interpreter_character_names());
    if (!literal) {
      PyErr_Format(PyExc_ValueError, "not a Jinja literal: %R", text_obj);
      return nullptr;
    }
    return literal_to_py(*literal);
  });
}

}  // namespace trelm::python
