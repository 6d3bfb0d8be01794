// Conversions between Python values and Jinja literals. Both walk the value
// with an explicit stack: a config value nested a hundred thousand lists
// deep costs heap, never native stack.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

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

// Unicode names for "\N{...}" escapes met while a tree lock is held, where
// the interpreter may not be asked: the lookup answers from what it has
// learnt and notes the names it has not. learn() then asks the interpreter,
// with no lock held, and the caller reads again.
class LearntCharacterNames {
 public:
  LearntCharacterNames();
  LearntCharacterNames(const LearntCharacterNames&) = delete;
  LearntCharacterNames& operator=(const LearntCharacterNames&) = delete;

  const jinja::CharacterNames* lookup() const { return &lookup_; }
  // Looks up every name missed since the last call; false when none was.
  bool learn();

 private:
  std::unordered_map<std::string, std::optional<char32_t>> known_;
  std::vector<std::string> missed_;
  jinja::CharacterNames lookup_;
};

// The result of `read(names)`, read again while it meets names not yet
// learnt (a document changed meanwhile may bring new ones: a few rounds).
template <typename Read>
auto with_learnt_names(Read read) {
  LearntCharacterNames names;
  auto result = read(names.lookup());
  for (int round = 0; round < 3 && names.learn(); ++round) result = read(names.lookup());
  return result;
}

}  // namespace trelm::python
