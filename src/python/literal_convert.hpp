// Conversions between Python values and Jinja literals. Both walk the value
// with an explicit stack: a config value nested a hundred thousand lists
// deep costs heap, never native stack.
#pragma once

#include <optional>

#include "jinja/literal.hpp"
#include "jinja/literal_reader.hpp"
#include "python/py_ref.hpp"

namespace trelm::python {

// None, bool, int, float, str (and subclasses of the last three), dicts,
// lists and tuples (and their subclasses), nested. Runs no Python code of
// the value's own: dicts are read with PyDict_Next and sequences by index,
// so overridden methods are bypassed. nullopt with a Python error set:
// TypeError for any other type, RecursionError for a container that holds
// itself (an int of any size keeps its decimal digits).
std::optional<jinja::Literal> py_to_literal(PyObject* value);

// A new reference to the Python value of `literal`, or nullptr with the
// error set (a dict key Python cannot hash fails as Python fails it).
PyObject* literal_to_py(const jinja::Literal& literal);

// Unicode character names for "\N{...}" escapes, answered by the
// interpreter's own decoder. Needs the interpreter lock; call it with no
// tree lock held, since the decoder may run the garbage collector.
const jinja::CharacterNames* interpreter_character_names();

}  // namespace trelm::python
