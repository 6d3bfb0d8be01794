// The parser's entry: text in, document or syntax error out.
#pragma once

#include <string_view>
#include <variant>

#include "parser/parse_error.hpp"
#include "tree/document.hpp"

namespace trelm::parser {

using ParseResult = std::variant<cst::Document, ParseError>;

ParseResult parse(std::string_view source);

}  // namespace trelm::parser
