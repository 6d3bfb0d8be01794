#include "parser/statement.hpp"

#include <algorithm>
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
  return t != nullptr && t->kind() == TokenKind::Other && t->text() == ".";
}

bool holds_line_feed(const cst::Token& t) { return t.text().find('\n') != std::string::npos; }

// "select" or "with"; every other word is turned away by its length.
bool is_query_keyword(const Child& c) {
  const cst::Token* t = c.as_token();
  if (t == nullptr || t->kind() != TokenKind::Word) return false;
  if (t->text().size() == 6) return t->is_keyword("select");
  if (t->text().size() == 4) return t->is_keyword("with");
  return false;
}

// The first query keyword at or after `from`, blind to everything before
// `from`: a query that was already cut off must not decide whether the next
// one starts.
std::size_t first_query_start(ConstSlice list, std::size_t from) {
  std::size_t before = npos;
  for (std::size_t i = from; i < list.size(); ++i) {
    const Child& c = list[i];
    if (is_query_keyword(c) && (before == npos || !is_dot(list[before]))) return i;
    if (c.is_significant()) before = i;
  }
  return npos;
}

// A ";" inside a bracket or block is a node's business, not ours.
std::size_t first_semicolon(ConstSlice list, std::size_t from) {
  for (std::size_t i = from; i < list.size(); ++i) {
    if (list[i].is_token_kind(TokenKind::Semicolon)) return i;
  }
  return list.size();
}

// Records where each query of list[first, size) starts and ends; returns
// the length of the structured list. A query runs to its last significant
// child before the next top-level ";", plus the comments on that child's
// line; the keyword is significant, so that child always exists.
std::size_t find_queries(ConstSlice list, std::size_t first, std::vector<QueryCut>& cuts) {
  cuts.clear();
  std::size_t length = list.size();
  std::size_t k = first_query_start(list, first);
  while (k != npos) {
    std::size_t last = last_significant_in(list, k, first_semicolon(list, k));
    std::size_t end = same_line_end(list, list.size(), last);
    cuts.push_back({k, end});
    length -= end - k - 1;
    if (end == list.size()) break;
    k = first_query_start(list, end);
  }
  return length;
}

// Appends `list` with the queries find_queries recorded built into nodes.
void append_found_queries(Slice list, Scratch& scratch, Children& out) {
  std::size_t rest = 0;
  // By index: building a query uses the other scratch lists only.
  for (std::size_t q = 0; q < scratch.queries.size(); ++q) {
    const QueryCut cut = scratch.queries[q];
    append_moved(out, list, rest, cut.start);
    out.emplace_back(build_query(list.subspan(cut.start, cut.end - cut.start), scratch));
    rest = cut.end;
  }
  append_moved(out, list, rest, list.size());
}

}  // namespace

bool starts_query(ConstSlice children, std::size_t i) {
  if (!is_query_keyword(children[i])) return false;
  std::size_t before = last_significant_in(children, 0, i);
  return before == npos || !is_dot(children[before]);
}

std::size_t same_line_end(ConstSlice children, std::size_t end, std::size_t last) {
  std::size_t result = last + 1;
  for (std::size_t j = last + 1; j < end; ++j) {
    const cst::Token* t = children[j].as_token();
    if (t == nullptr) break;
    if (t->kind() == TokenKind::Whitespace) {
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

Children structure_sequence(Slice list, std::size_t first, Scratch& scratch) {
  Children out;
  append_structured(list, first, scratch, out);
  return out;
}

void append_structured(Slice list, std::size_t first, Scratch& scratch, Children& out) {
  const std::size_t needed = out.size() + find_queries(list, first, scratch.queries);
  if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
  append_found_queries(list, scratch, out);
}

cst::NodeRef structured_node(cst::NodeKind kind, Slice list, std::size_t first, Scratch& scratch) {
  const std::size_t length = find_queries(list, first, scratch.queries);
  return scratch.node(kind, length, [&](Children& out) { append_found_queries(list, scratch, out); });
}

}  // namespace trelm::parser
