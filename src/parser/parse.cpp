#include "parser/parse.hpp"

#include <utility>

#include "lexer/lexer.hpp"
#include "parser/group.hpp"
#include "parser/statement.hpp"

namespace trelm::parser {

ParseResult parse(std::string_view source) {
  // The tokens borrow their texts from one copy of the source, which every
  // node of the tree keeps.
  cst::TextRef buffer(cst::TextBuffer::copy_of(source));
  lexer::LexResult lexed = lexer::lex(buffer.get()->view());
  if (auto* err = std::get_if<lexer::LexError>(&lexed)) {
    return error_at(source, err->offset, err->message);
  }
  Scratch scratch;
  scratch.source = buffer;
  cst::Children grouped = group(std::move(std::get<std::vector<cst::Token>>(lexed)), scratch);
  cst::Children structured = structure_sequence(slice_of(grouped), 0, scratch);
  return cst::Document{scratch.node(cst::NodeTag::Root, std::move(structured))};
}

}  // namespace trelm::parser
