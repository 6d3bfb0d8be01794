#include "parser/parse.hpp"

#include <utility>

#include "lexer/lexer.hpp"
#include "parser/group.hpp"
#include "parser/statement.hpp"

namespace trelm::parser {

ParseResult parse(std::string_view source) {
  lexer::LexResult lexed = lexer::lex(source);
  if (auto* err = std::get_if<lexer::LexError>(&lexed)) {
    return error_at(source, err->offset, err->message);
  }
  Scratch scratch;
  cst::Children grouped = group(std::move(std::get<std::vector<cst::Token>>(lexed)), scratch);
  cst::Children structured = structure_sequence(slice_of(grouped), 0, scratch);
  return cst::Document{cst::make_node(cst::NodeTag::Root, std::move(structured))};
}

}  // namespace trelm::parser
