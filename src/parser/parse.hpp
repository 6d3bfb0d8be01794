// The parser's entry: text in, document or syntax error out.
#pragma once

#include <memory>
#include <string_view>
#include <variant>

#include "parser/parse_error.hpp"
#include "tree/document.hpp"

namespace trelm::parser {

using ParseResult = std::variant<cst::Document, ParseError>;

// The tree reads a copy of `source`, or, given an owner of those bytes,
// `source` itself, and keeps the owner until its last node is gone.
ParseResult parse(std::string_view source, std::shared_ptr<const void> owner = {});

}  // namespace trelm::parser
