// Invariants of parsing any text: it either fails with one of the four
// unterminated-construct messages at a "{", or prints back byte for byte,
// both walked token by token and printed, and so does every node; its tree,
// made while lexing, is the one that grouping all the tokens at once and
// then structuring them makes; every Query node starts with a SELECT or WITH
// word, every item node holds text, and walking the queries and select items
// never fails.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "fuzz_check.hpp"
#include "lexer/lexer.hpp"
#include "parser/group.hpp"
#include "parser/parse.hpp"
#include "parser/statement.hpp"
#include "query/navigation.hpp"
#include "query/select_item.hpp"
#include "tree/print.hpp"
#include "tree/traverse.hpp"

namespace {

using namespace trelm;

// The first token below `node`, which the caller has not locked.
const cst::Token* first_token(const cst::NodeRef& node, cst::Token& copy) {
  bool found = false;
  auto lock = node->read_lock();
  cst::for_each_token(node->children, [&](const cst::Token& t) {
    if (!found) copy = t;
    found = true;
  });
  return found ? &copy : nullptr;
}

// The node's tokens joined by a walk: what it must print, whether it is
// printed by walking or as one copy of its source.
std::string walked_text(const cst::NodeRef& node) {
  std::string out;
  auto lock = node->read_lock();
  cst::for_each_token(node->children, [&out](const cst::Token& t) { out += t.text(); });
  return out;
}

void check_node_shapes(const cst::Document& doc) {
  std::vector<cst::NodeRef> nodes;
  {
    auto lock = doc.root->read_lock();
    cst::for_each_descendant(doc.root->children, [&](const cst::NodeRef& n) { nodes.push_back(n); });
  }
  for (const cst::NodeRef& n : nodes) {
    CHECK(cst::node_text(n) == walked_text(n));
    const cst::NodeTag tag = n->kind.tag;
    if (tag == cst::NodeTag::Query) {
      cst::Token t;
      const cst::Token* first = first_token(n, t);
      CHECK(first != nullptr && (first->is_keyword("select") || first->is_keyword("with")));
    } else if (tag == cst::NodeTag::SelectItem || tag == cst::NodeTag::Cte) {
      CHECK(!cst::node_text(n).empty());
    }
  }
}

// Same kinds and tokens all the way down; the trees are not shared, so
// nothing else holds their locks.
bool same_tree(const cst::Children& a, const cst::Children& b) {
  std::vector<std::pair<const cst::Children*, const cst::Children*>> pending{{&a, &b}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    if (x->size() != y->size()) return false;
    for (std::size_t i = 0; i < x->size(); ++i) {
      const cst::Node* m = (*x)[i].node_ptr();
      const cst::Node* n = (*y)[i].node_ptr();
      if ((m == nullptr) != (n == nullptr)) return false;
      if (m == nullptr) {
        const cst::Token& s = (*x)[i].token();
        const cst::Token& t = (*y)[i].token();
        if (s.kind() != t.kind() || s.text() != t.text()) return false;
      } else {
        if (!(m->kind == n->kind)) return false;
        pending.emplace_back(&m->children, &n->children);
      }
    }
  }
  return true;
}

void check_same_as_whole_grouping(std::string_view text, const cst::Document& doc) {
  auto lexed = lexer::lex(text);
  CHECK(std::holds_alternative<std::vector<cst::Token>>(lexed));
  cst::Children whole = parser::group(std::get<std::vector<cst::Token>>(std::move(lexed)));
  parser::Scratch scratch;
  const cst::Children expected = parser::structure_sequence(parser::slice_of(whole), 0, scratch);
  CHECK(same_tree(doc.root->children, expected));
}

void walk_queries(const cst::Document& doc) {
  for (const auto& q : query::queries(doc)) {
    for (const auto& sel : query::selects(q)) {
      std::vector<cst::NodeRef> items;
      {
        auto lock = sel->read_lock();
        items = query::select_items(sel->children);
      }
      for (const auto& item : items) {
        auto lock = item->read_lock();
        (void)query::item_name(item->children);
        (void)query::item_expr(item->children);
      }
    }
    for (const auto& c : query::ctes(q)) {
      auto lock = c->read_lock();
      (void)query::cte_name(c->children);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto result = parser::parse(text);
  if (auto* err = std::get_if<parser::ParseError>(&result)) {
    CHECK(fuzz::is_lexer_message(err->message));
    CHECK(err->offset < text.size() && text[err->offset] == '{');
    return 0;
  }
  const auto& doc = std::get<cst::Document>(result);
  CHECK(walked_text(doc.root) == text);
  CHECK(cst::document_text(doc) == text);
  check_same_as_whole_grouping(text, doc);
  check_node_shapes(doc);
  walk_queries(doc);
  return 0;
}
