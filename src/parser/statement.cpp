#include "parser/statement.hpp"

#include <iterator>
#include <string_view>

#include "parser/query_builder.hpp"

namespace trelm::parser {

namespace {

using cst::Child;
using cst::Children;
using cst::npos;
using cst::TokenKind;

bool is_dot(const Child& c) {
  const cst::Token* t = c.as_token();
  return t != nullptr && t->kind == TokenKind::Other && t->text() == ".";
}

bool holds_line_feed(const cst::Token& t) { return t.text().find('\n') != std::string::npos; }

// The last significant child in [begin, end), or npos.
std::size_t last_significant_in(const Children& children, std::size_t begin, std::size_t end) {
  for (std::size_t i = end; i > begin; --i) {
    if (children[i - 1].is_significant()) return i - 1;
  }
  return npos;
}

bool is_query_keyword(const Child& c) { return c.is_keyword("select") || c.is_keyword("with"); }

// starts_query, but blind to everything before `begin`: a query that was
// already cut off must not decide whether the next one starts.
bool starts_query_after(const Children& children, std::size_t begin, std::size_t i) {
  if (!is_query_keyword(children[i])) return false;
  std::size_t before = last_significant_in(children, begin, i);
  return before == npos || !is_dot(children[before]);
}

std::size_t first_query_start(const Children& children, std::size_t begin) {
  for (std::size_t i = begin; i < children.size(); ++i) {
    if (starts_query_after(children, begin, i)) return i;
  }
  return npos;
}

// A ";" inside a bracket or block is a node's business, not ours.
std::size_t first_semicolon(const Children& children, std::size_t from) {
  for (std::size_t i = from; i < children.size(); ++i) {
    if (children[i].is_token_kind(TokenKind::Semicolon)) return i;
  }
  return children.size();
}

void move_range(Children& from, std::size_t begin, std::size_t end, Children& to) {
  to.insert(to.end(), std::make_move_iterator(from.begin() + static_cast<std::ptrdiff_t>(begin)),
            std::make_move_iterator(from.begin() + static_cast<std::ptrdiff_t>(end)));
}

}  // namespace

bool starts_query(const Children& children, std::size_t i) { return starts_query_after(children, 0, i); }

std::size_t same_line_end(const Children& children, std::size_t end, std::size_t last) {
  std::size_t result = last + 1;
  for (std::size_t j = last + 1; j < end; ++j) {
    const cst::Token* t = children[j].as_token();
    if (t == nullptr) break;
    if (t->kind == TokenKind::Whitespace) {
      if (holds_line_feed(*t)) break;
      continue;
    }
    if (!t->is_trivia()) break;
    // A comment: it joins the construct unless it reaches onto the next line.
    if (holds_line_feed(*t)) break;
    result = j + 1;
  }
  return result;
}

Children structure_sequence(Children children) {
  std::size_t k = first_query_start(children, 0);
  if (k == npos) return children;

  Children out;
  out.reserve(children.size());
  std::size_t rest = 0;
  while (true) {
    if (k == npos) {
      move_range(children, rest, children.size(), out);
      return out;
    }
    move_range(children, rest, k, out);
    // A query runs to its last significant child before the next top-level
    // ";", plus the comments on that child's line; the keyword at k is
    // significant, so `last` is never npos.
    std::size_t semicolon = first_semicolon(children, k);
    std::size_t last = last_significant_in(children, k, semicolon);
    std::size_t end = same_line_end(children, children.size(), last);
    Children query;
    query.reserve(end - k);
    move_range(children, k, end, query);
    out.emplace_back(build_query(std::move(query)));
    rest = end;
    if (rest == children.size()) return out;
    k = first_query_start(children, rest);
  }
}

}  // namespace trelm::parser
