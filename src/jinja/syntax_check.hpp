// Whether the template engine accepts one tag: the expression of a
// «{{ ... }}» tag, or the statement of a «{% ... %}» tag, read with the
// engine's grammar. Nesting is bounded, so no input can exhaust the stack.
//
// What a statement means for the blocks around it (opens `if`, closes
// `for`, is an `else`) is reported too; pairing tags into blocks is the
// template walk's job (template_check.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace trelm::jinja {

struct SyntaxProblem {
  std::size_t start = 0;  // byte range of the offending token in the checked text
  std::size_t end = 0;
  std::string message;
};

enum class TagRole : std::uint8_t {
  Plain,      // an expression tag, or a statement that opens nothing
  Opens,      // opens the block `name`
  Elif,
  Else,
  Closes,     // «end» + `name`
  Extension,  // a statement the checker does not know: accepted as written
};

struct TagCheck {
  std::optional<SyntaxProblem> problem;
  // A problem the engine finds only when it compiles the tag (a keyword
  // named twice); the engine skips compiling some output tags.
  std::optional<SyntaxProblem> compile_problem;
  TagRole role = TagRole::Plain;
  std::string name;   // the block opened or closed; the tag name of an extension
  std::string label;  // the name of a `block`, or the one repeated by its `endblock`
  bool required = false;      // a `block` marked `required`: its body may hold only whitespace and comments
  bool assigns_loop = false;  // a `for` or `set` whose target names `loop`
};

// Checks one whole tag, markers included: «{{ x }}» or «{% if x %}».
TagCheck check_tag(std::string_view tag);

// The problem with `source` as exactly one expression, compiled (a conditional
// expression at most, no bare tuple), or nullopt when it is one.
std::optional<SyntaxProblem> check_expression(std::string_view source);

}  // namespace trelm::jinja
