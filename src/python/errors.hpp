// The module's exception class and the conversion of syntax errors into it.
#pragma once

#include "edit/select_edit.hpp"
#include "parser/parse_error.hpp"
#include "python/py_ref.hpp"

namespace trelm::python {

// The TrelmSyntaxError class (borrowed), created once per process on first
// use; nullptr with an exception set when it cannot be created.
PyObject* syntax_error_type();

// A new TrelmSyntaxError instance for `error` (not raised).
PyRef syntax_error(const parser::ParseError& error);

// Raises the TrelmSyntaxError for `error`; always returns nullptr.
PyObject* raise_syntax_error(const parser::ParseError& error);

// Raises what an edit refusal means in Python: TrelmSyntaxError for text
// that is not one select item, ValueError for the others. Returns nullptr.
PyObject* raise_edit_error(const edit::EditError& error);

}  // namespace trelm::python
