// Lexical analysis of one SELECT list item: alias, expression, name.
// All functions read the child list of a SelectItem node whose read lock the
// caller holds.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tree/node.hpp"

namespace trelm::query {

struct AliasParts {
  std::size_t expr_end = 0;  // first child index not part of the expression
  std::string alias;         // the alias token's text as written
};

std::optional<AliasParts> alias_parts(const cst::Children& item);
// alias_parts(), the alias a view of its token's text (valid while the item is not edited).
struct AliasAt {
  std::size_t expr_end = 0;
  std::string_view alias;
};
std::optional<AliasAt> alias_at(const cst::Children& item);
std::string item_expr(const cst::Children& item);
std::optional<std::string> item_name(const cst::Children& item);
// The name of an item that is a plain reference, name (. name)*: its last
// part; what item_name gives for an item without an alias.
std::optional<std::string> reference_name(const cst::Children& item);
// The token of that last part, quoted as written; null when the item is no
// plain reference.
const cst::Token* reference_last(const cst::Children& item);
// Whether the item holds a Jinja tag token at any depth.
bool item_is_templated(const cst::Children& item);

// Strips one pair of double quotes or backquotes, collapsing doubled quotes.
std::string unquote(std::string_view text);

}  // namespace trelm::query
