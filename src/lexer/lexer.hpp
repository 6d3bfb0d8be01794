// Splits model text into tokens that cover every byte exactly once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tree/token.hpp"

namespace trelm::lexer {

struct LexError {
  std::string message;
  std::size_t offset = 0;  // byte offset of the construct that failed
};

using LexResult = std::variant<std::vector<cst::Token>, LexError>;

// The tokens of `source`, or the first unterminated Jinja construct. The
// tokens borrow their texts from `source`, which must outlive them.
LexResult lex(std::string_view source);

}  // namespace trelm::lexer
