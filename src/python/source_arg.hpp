// Reading the `source` argument shared by parse_trelm and Document.parse.
#pragma once

#include <optional>
#include <string_view>

#include "python/py_ref.hpp"

namespace trelm::python {

// The UTF-8 text of a str argument named `name`, viewed in place (valid while
// `arg` lives). nullopt with TypeError for a non-str, or with the encoding
// error for a str holding lone surrogates.
std::optional<std::string_view> utf8_arg(PyObject* arg, const char* func, const char* name);

// Parses `source` from the arguments of a fast call (METH_FASTCALL |
// METH_KEYWORDS) and returns a new Document object.
PyObject* parse_fast_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* func);

}  // namespace trelm::python
