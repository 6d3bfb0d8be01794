// First pass of the parser: nests brackets and Jinja blocks into nodes.
#pragma once

#include <vector>

#include "parser/slices.hpp"
#include "tree/node.hpp"

namespace trelm::parser {

// Takes the lexer's tokens; never fails. Brackets and blocks that do not pair
// up stay as plain tokens. Parenthesised queries become Query nodes as their
// paren closes, and each closed block's branch bodies are structured.
cst::Children group(std::vector<cst::Token> tokens);
cst::Children group(std::vector<cst::Token> tokens, Scratch& scratch);

}  // namespace trelm::parser
