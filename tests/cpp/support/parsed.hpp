// Parsing and lookup helpers shared by the parser, query and edit tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "lexer/lexer.hpp"
#include "parser/group.hpp"
#include "parser/parse.hpp"
#include "tree_dump.hpp"
#include "tree/print.hpp"
#include "tree/traverse.hpp"

namespace trelm::testing {

// The tokens below a node, joined by a walk that takes no shortcut: what
// the node must print.
inline std::string walked_text(const cst::NodeRef& node) {
  std::string out;
  auto lock = node->read_lock();
  cst::for_each_token(node->children, [&out](const cst::Token& t) { out += t.text(); });
  return out;
}

// Text that must parse; it must also print back unchanged, token by token.
inline cst::Document parse_ok(std::string_view text) {
  parser::ParseResult result = parser::parse(text);
  if (auto* err = std::get_if<parser::ParseError>(&result)) {
    ADD_FAILURE() << "parse failed: " << err->message << " in «" << text << "»";
    return cst::Document{cst::make_node(cst::NodeTag::Root, {})};
  }
  cst::Document doc = std::get<cst::Document>(std::move(result));
  EXPECT_EQ(walked_text(doc.root), text);
  EXPECT_EQ(cst::document_text(doc), text);
  return doc;
}

inline std::string root_dump(std::string_view text) {
  cst::Document doc = parse_ok(text);
  auto lock = doc.root->read_lock();
  return dump(doc.root->children);
}

// Lexed and bracket-grouped, without query structure.
inline cst::Children grouped(std::string_view text) {
  auto lexed = lexer::lex(text);
  if (!std::holds_alternative<std::vector<cst::Token>>(lexed)) {
    ADD_FAILURE() << "does not lex: " << text;
    return {};
  }
  return parser::group(std::move(std::get<std::vector<cst::Token>>(lexed)));
}

// The node reached by following child indices, or null.
inline cst::NodeRef child_at(cst::NodeRef node, const std::vector<std::size_t>& path) {
  for (std::size_t index : path) {
    auto lock = node->read_lock();
    if (index >= node->children.size() || !node->children[index].is_node()) return nullptr;
    cst::NodeRef next = node->children[index].node();
    lock.unlock();
    node = std::move(next);
  }
  return node;
}

// The first SELECT clause of the first top-level query, found without the
// navigation module so edit tests do not depend on it.
inline cst::NodeRef first_select(const cst::Document& doc) {
  cst::NodeRef query;
  {
    auto lock = doc.root->read_lock();
    for (const cst::Child& c : doc.root->children) {
      if (c.is_node_tag(cst::NodeTag::Query)) {
        query = c.node();
        break;
      }
    }
  }
  if (!query) return nullptr;
  auto lock = query->read_lock();
  for (const cst::Child& c : query->children) {
    if (c.is_node_kind(cst::NodeKind::clause(*cst::find_clause_name("SELECT")))) return c.node();
  }
  return nullptr;
}

inline std::vector<cst::NodeRef> items_of(const cst::NodeRef& select) {
  std::vector<cst::NodeRef> items;
  auto lock = select->read_lock();
  for (const cst::Child& c : select->children) {
    if (c.is_node_tag(cst::NodeTag::SelectItem)) items.push_back(c.node());
  }
  return items;
}

inline std::string repeat(std::string_view piece, std::size_t n) {
  std::string out;
  out.reserve(piece.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += piece;
  return out;
}

}  // namespace trelm::testing
