// First pass of the parser: nests brackets and Jinja blocks into nodes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

#include "lexer/lexer.hpp"
#include "parser/slices.hpp"
#include "tree/node.hpp"

namespace trelm::parser {

// Lets a set of names be searched with a string_view, without a copy.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// Statement tag names that open blocks: X does in a file that also holds a
// tag "end"X.
using BlockNames = std::unordered_set<std::string, NameHash, std::equal_to<>>;

// Takes the lexer's tokens; never fails. Brackets and blocks that do not pair
// up stay as plain tokens. Parenthesised queries become Query nodes as their
// paren closes, and each closed block's branch bodies are structured.
cst::Children group(std::vector<cst::Token> tokens);
cst::Children group(std::vector<cst::Token> tokens, Scratch& scratch);

// The root of `source`: lexed, grouped and structured into queries in one
// stream, so that the tokens of the whole file never exist at once; or the
// lexer's error. The tokens borrow from a copy of `source` made here, or
// from `source` itself when it has an owner; scratch.source keeps either.
std::variant<cst::NodeRef, lexer::LexError> group_source(std::string_view source, Scratch& scratch,
                                                         std::shared_ptr<const void> owner = {});

}  // namespace trelm::parser
