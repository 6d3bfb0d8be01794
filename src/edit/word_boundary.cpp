#include "edit/word_boundary.hpp"

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "edit/layout.hpp"
#include "edit/select_edit.hpp"
#include "lexer/lexer.hpp"

namespace trelm::edit::detail {

using cst::TokenKind;

// Descends one node at a time, never recursing.
std::optional<cst::Token> edge_token(const cst::Child& child, bool first) {
  if (const cst::Token* t = child.as_token()) return *t;
  cst::NodeRef node = child.node();
  while (true) {
    cst::NodeRef next;
    {
      auto lock = node->read_lock();
      const cst::Children& c = node->children;
      if (c.empty()) return std::nullopt;
      const cst::Child& edge = first ? c.front() : c.back();
      if (const cst::Token* t = edge.as_token()) return *t;
      next = edge.node();
    }
    node = std::move(next);
  }
}

// The lexer reads left to right, so `right` lexes alike after anything; only
// the first token of the pair can change: grow past `left`, or be an opener
// that the text after it could close.
bool would_join(const cst::Token& left, const cst::Token& right) {
  if (left.kind() == TokenKind::Whitespace || right.kind() == TokenKind::Whitespace) return false;
  if (left.kind() == TokenKind::LineComment) return false;
  std::string text(left.text());
  text += right.text();
  lexer::LexResult lexed = lexer::lex(text);
  const auto* tokens = std::get_if<std::vector<cst::Token>>(&lexed);
  if (tokens == nullptr || tokens->empty() || tokens->front().text().size() != left.text().size()) return true;
  return tokens->front().kind() == TokenKind::Other && !lexer::unclosed_construct(text, 0).empty();
}

bool keep_apart(cst::Node& node, std::size_t j) {
  cst::Children& c = node.children;
  if (j == 0 || j >= c.size()) return false;
  std::optional<cst::Token> left = edge_token(c[j - 1], false);
  std::optional<cst::Token> right = edge_token(c[j], true);
  if (!left || !right || !would_join(*left, *right)) return false;
  c.insert(c.begin() + static_cast<std::ptrdiff_t>(j), cst::Child(whitespace_token(" ")));
  return true;
}

// What may follow a query that ends its parent's text run: a Jinja tag
// («{% endif %}», which a «{» at the end would turn into «{{%») or a comment.
// A word cannot: it would have been part of the query's last clause.
bool joins_what_may_follow(const cst::Token& last) {
  static const cst::Token kMayFollow[] = {
      cst::Token(TokenKind::JinjaStatement, "{% x %}"), cst::Token(TokenKind::JinjaExpression, "{{ x }}"),
      cst::Token(TokenKind::JinjaComment, "{# x #}"), cst::Token(TokenKind::LineComment, "-- x"),
      cst::Token(TokenKind::BlockComment, "/* x */")};
  for (const cst::Token& next : kMayFollow) {
    if (would_join(last, next)) return true;
  }
  return false;
}

void keep_end_apart(cst::Node& node, const std::optional<cst::Token>& next) {
  if (node.children.empty()) return;
  std::optional<cst::Token> last = edge_token(node.children.back(), false);
  if (!last || !(next ? would_join(*last, *next) : joins_what_may_follow(*last))) return;
  node.children.emplace_back(whitespace_token(" "));
}

}  // namespace trelm::edit::detail

namespace trelm::edit {

Following following_of(const cst::Children& parent, const cst::NodeRef& child) {
  for (std::size_t i = 0; i + 1 < parent.size(); ++i) {
    if (!parent[i].is_node() || parent[i].node() != child) continue;
    const cst::Child& next = parent[i + 1];
    Following after{detail::edge_token(next, true), detail::holds_line_break(next)};
    std::size_t j = cst::next_significant(parent, i + 1);
    if (j != cst::npos) {
      if (const cst::Node* n = parent[j].node_ptr()) {
        auto lock = n->read_lock();
        after.next_clause = n->kind.clause_row();
      }
    }
    return after;
  }
  return {};
}

}  // namespace trelm::edit
