#include "parser/parse.hpp"

#include <utility>

#include "parser/group.hpp"

namespace trelm::parser {

ParseResult parse(std::string_view source) {
  // Every node of the tree keeps the copy of the source that its tokens
  // borrow their texts from.
  Scratch scratch;
  auto grouped = group_source(source, scratch);
  if (auto* err = std::get_if<lexer::LexError>(&grouped)) return error_at(source, err->offset, err->message);
  return cst::Document{scratch.node(cst::NodeTag::Root, std::get<cst::Children>(grouped))};
}

}  // namespace trelm::parser
