#include "edit/layout.hpp"

namespace trelm::edit::detail {

using cst::Child;
using cst::Children;
using cst::TokenKind;

bool is_whitespace(const Child& child) { return child.is_token_kind(TokenKind::Whitespace); }

bool holds_line_break(const Child& child) {
  return is_whitespace(child) && child.token().text().find('\n') != std::string::npos;
}

bool ends_in_line_comment(const Child& child) {
  if (const cst::Token* t = child.as_token()) return t->kind() == TokenKind::LineComment;
  auto lock = child.node()->read_lock();
  const Children& inner = child.node()->children;
  return !inner.empty() && inner.back().is_token_kind(TokenKind::LineComment);
}

bool ends_with_carriage_return(const Child& child) {
  const cst::Token* t = child.as_token();
  return t != nullptr && !t->text().empty() && t->text().back() == '\r';
}

std::vector<std::size_t> item_indices(const Children& children) {
  std::vector<std::size_t> items;
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (children[i].is_node_tag(cst::NodeTag::SelectItem)) items.push_back(i);
  }
  return items;
}

std::string line_end_of(const Children& children) {
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (!is_whitespace(children[i])) continue;
    std::string_view text = children[i].token().text();
    std::size_t lf = text.find('\n');
    if (lf == std::string::npos) continue;
    bool cr_before = lf > 0 ? text[lf - 1] == '\r' : i > 0 && ends_with_carriage_return(children[i - 1]);
    return cr_before ? "\r\n" : "\n";
  }
  return "\n";
}

std::string indentation_before(const Children& children, std::size_t end) {
  for (std::size_t i = end; i > 0; --i) {
    if (!holds_line_break(children[i - 1])) continue;
    std::string_view text = children[i - 1].token().text();
    return std::string(text.substr(text.rfind('\n') + 1));
  }
  return {};
}

cst::Token whitespace_token(std::string_view text) { return cst::Token(TokenKind::Whitespace, text); }

cst::Token comma_token() { return cst::Token(TokenKind::Comma, ","); }

}  // namespace trelm::edit::detail
