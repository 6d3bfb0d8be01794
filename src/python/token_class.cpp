// The Token class: a leaf of the syntax tree, copied when it was read.
#include <string>

#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/lists.hpp"
#include "python/types.hpp"

namespace trelm::python {
namespace {

const cst::TokenCopy& token_of(PyObject* self) { return as<PyToken>(self)->token; }

// In the order of TokenKind.
constexpr const char* kKindNames[] = {
    "whitespace", "line_comment", "block_comment", "jinja_comment", "jinja_expression", "jinja_statement",
    "jinja_raw",  "string",       "quoted_identifier", "word",      "number",           "lparen",
    "rparen",     "lbracket",     "rbracket",     "comma",         "semicolon",        "other",
};
static_assert(std::size(kKindNames) == static_cast<std::size_t>(cst::TokenKind::Other) + 1);

const char* kind_name(const cst::TokenCopy& token) { return kKindNames[static_cast<std::size_t>(token.kind)]; }

PyObject* token_kind(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return PyUnicode_FromString(kind_name(token_of(self))); });
}

PyObject* token_text(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(token_of(self).text); });
}

// Where the token is now: found again by its id, and only believed when the
// token found there is as long as this copy.
PyObject* token_span(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const cst::TokenCopy& token = token_of(self);
    std::optional<cst::TextSpan> span = as<PyToken>(self)->doc->index()->token_span(token.id);
    if (span && span->end - span->start != cst::count_chars(token.text)) span.reset();
    return optional_span(span);
  });
}

PyObject* token_str(PyObject* self) { return token_text(self, nullptr); }

PyObject* token_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyRef text = PyRef::steal(to_py_str(token_of(self).text));
    if (!text) return nullptr;
    return PyUnicode_FromFormat("<Token %s %R>", kind_name(token_of(self)), text.get());
  });
}

PyGetSetDef kGetSet[] = {
    {"kind", token_kind, nullptr, "The token's kind in snake case, such as `word`, `string` or `jinja_expression`.",
     nullptr},
    {"text", token_text, nullptr, "The token's text as written.", nullptr},
    {"span", token_span, nullptr, kSpanDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A token of the syntax tree, as it was when read. str() gives its text.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyToken>)},
    {Py_tp_str, reinterpret_cast<void*>(token_str)},
    {Py_tp_repr, reinterpret_cast<void*>(token_repr)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = class_spec("trelm_cst.Token", sizeof(PyToken), kSlots);

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* token_type() { return lazy_type(g_type, kSpec); }

}  // namespace trelm::python
