#include "parser/parse.hpp"

#include <utility>

#include "parser/group.hpp"

namespace trelm::parser {

ParseResult parse(std::string_view source, std::shared_ptr<const void> owner) {
  // Every node of the tree keeps the buffer of the source that its tokens
  // borrow their texts from.
  Scratch scratch;
  auto grouped = group_source(source, scratch, std::move(owner));
  if (auto* err = std::get_if<lexer::LexError>(&grouped)) return error_at(source, err->offset, err->message);
  return cst::Document{std::get<cst::NodeRef>(std::move(grouped))};
}

}  // namespace trelm::parser
