#include "parser/query_builder.hpp"

#include <string_view>
#include <vector>

#include "parser/select_items.hpp"
#include "parser/statement.hpp"

namespace trelm::parser {

namespace {

using cst::Child;
using cst::Children;
using cst::NodeKind;
using cst::NodeTag;
using cst::npos;
using cst::TokenKind;

bool keyword_allowed_at(cst::KeywordGuard guard, ConstSlice children, std::size_t before) {
  return before == npos || keyword_allowed_after(guard, children[before].as_token());
}

// The row of `rows` that the words at `i` spell: a two-word name when the
// next significant child is its second word, else the one-word name.
std::optional<ClauseKeyword> longest_name_at(ConstSlice children, std::size_t i, cst::ClauseRows rows) {
  const cst::ClauseName* single = nullptr;
  std::size_t n = npos;
  bool looked = false;
  for (std::size_t r = rows.begin; r < rows.end; ++r) {
    const cst::ClauseName& row = cst::kClauseNames[r];
    if (row.second_word().empty()) {
      single = &row;
      continue;
    }
    if (!looked) {
      n = next_significant_in(children, i + 1, children.size());
      looked = true;
    }
    if (n != npos && children[n].is_keyword(row.second_word())) return ClauseKeyword{&row, n + 1};
  }
  if (single != nullptr) return ClauseKeyword{single, i + 1};
  return std::nullopt;
}

// The rows whose first word is the child at `i`, if it is a word.
cst::ClauseRows rows_at(ConstSlice children, std::size_t i) {
  const cst::Token* t = children[i].as_token();
  if (t == nullptr || t->kind() != TokenKind::Word) return {};
  return cst::clause_rows_for(t->text());
}

// clause_keyword with the last significant child before `i` already known.
std::optional<ClauseKeyword> keyword_at(ConstSlice children, std::size_t i, std::size_t before) {
  const cst::ClauseRows rows = rows_at(children, i);
  if (rows.empty()) return std::nullopt;
  const cst::ClauseName& lead = cst::kClauseNames[rows.begin];
  if (lead.opens_query_only || !keyword_allowed_at(lead.guard, children, before)) return std::nullopt;
  return longest_name_at(children, i, rows);
}

// The keyword that opens the query at its first child, for the rows that
// are keywords nowhere else (WITH).
std::optional<ClauseKeyword> opening_keyword(ConstSlice children) {
  if (children.empty()) return std::nullopt;
  const cst::ClauseRows rows = rows_at(children, 0);
  if (rows.empty() || !cst::kClauseNames[rows.begin].opens_query_only) return std::nullopt;
  return longest_name_at(children, 0, rows);
}

// Records the clauses in source order. A query that starts with WITH opens
// its first clause there; "WITH" is no keyword anywhere else. The last
// significant child is followed along the scan; the last word of a keyword
// is significant, so after a keyword it is the one just before `p`.
void find_clauses(ConstSlice children, std::vector<ClauseCut>& cuts) {
  cuts.clear();
  std::size_t p = 0;
  if (std::optional<ClauseKeyword> kw = opening_keyword(children)) {
    cuts.push_back({kw->row, 0, kw->end});
    p = kw->end;
  }
  std::size_t before = p == 0 ? npos : p - 1;
  while (p < children.size()) {
    if (std::optional<ClauseKeyword> kw = keyword_at(children, p, before)) {
      cuts.push_back({kw->row, p, kw->end});
      p = kw->end;
      before = p - 1;
      continue;
    }
    if (children[p].is_significant()) before = p;
    ++p;
  }
}

// Sets each clause's end, last clause first: its last significant child
// before the next clause (or the end), plus same-line comments. Returns the
// length of the query node's list: what precedes the first clause, then per
// clause its node and the loose run after it.
std::size_t find_clause_ends(ConstSlice children, std::vector<ClauseCut>& cuts) {
  std::size_t limit = children.size();
  std::size_t length = cuts.front().start;
  for (std::size_t s = cuts.size(); s-- > 0;) {
    std::size_t last = last_significant_in(children, cuts[s].start, limit);
    cuts[s].end = same_line_end(children, limit, last);
    length += 1 + (limit - cuts[s].end);
    limit = cuts[s].start;
  }
  return length;
}

// Where the select list begins: after DISTINCT, DISTINCT ON (...), ALL and
// TOP n, which stay loose children of the clause.
std::size_t select_list_start(ConstSlice clause, std::size_t q) {
  while (true) {
    std::size_t j = next_significant_in(clause, q, clause.size());
    if (j == npos || !clause[j].is_token_kind(TokenKind::Word)) return q;
    if (clause[j].is_keyword("distinct")) {
      q = j + 1;
      std::size_t on = next_significant_in(clause, j + 1, clause.size());
      if (on != npos && clause[on].is_keyword("on")) {
        std::size_t m = next_significant_in(clause, on + 1, clause.size());
        if (m != npos && clause[m].is_node_tag(NodeTag::Paren)) q = m + 1;
      }
    } else if (clause[j].is_keyword("all")) {
      q = j + 1;
    } else if (clause[j].is_keyword("top")) {
      std::size_t t = next_significant_in(clause, j + 1, clause.size());
      q = t != npos ? t + 1 : j + 1;
    } else {
      return q;
    }
  }
}

cst::NodeRef clause_node(const cst::ClauseName& row, Slice clause, std::size_t keyword_len, Scratch& scratch) {
  const NodeKind kind = NodeKind::clause(row);
  if (row.name == "SELECT") {
    return split_list(kind, clause, select_list_start(clause, keyword_len), NodeTag::SelectItem, scratch);
  }
  if (row.first_word() == "WITH") return split_list(kind, clause, keyword_len, NodeTag::Cte, scratch);
  return scratch.node(kind, clause.size(), [&](Children& out) { out.append_moved(clause); });
}

}  // namespace

// Ties a keyword to what stands before it: "t.from" is a column, «is
// distinct from» a comparison, «* except (a)» a column filter.
bool keyword_allowed_after(cst::KeywordGuard guard, const cst::Token* before) {
  if (before == nullptr) return true;
  if (before->kind() == TokenKind::Other && before->text() == ".") return false;
  if (guard == cst::KeywordGuard::NotAfterDistinct && before->is_keyword("distinct")) return false;
  if (guard == cst::KeywordGuard::NotAfterStar && before->text() == "*") return false;
  return true;
}

std::optional<ClauseKeyword> clause_keyword(ConstSlice children, std::size_t i) {
  return keyword_at(children, i, last_significant_in(children, 0, i));
}

cst::NodeRef build_query(Slice children, Scratch& scratch) {
  std::vector<ClauseCut>& cuts = scratch.clauses;
  find_clauses(children, cuts);
  // Callers hand over lists that start with SELECT or WITH, so a clause is
  // always found; a list without one still makes a (clause-less) query.
  if (cuts.empty()) {
    return scratch.node(NodeTag::Query, children.size(), [&](Children& out) { out.append_moved(children); });
  }
  return scratch.node(NodeTag::Query, find_clause_ends(children, cuts), [&](Children& out) {
    append_moved(out, children, 0, cuts.front().start);
    // By index: dividing a clause uses the other scratch lists only.
    for (std::size_t s = 0; s < cuts.size(); ++s) {
      const ClauseCut cut = cuts[s];
      Slice own = children.subspan(cut.start, cut.end - cut.start);
      out.emplace_back(clause_node(*cut.row, own, cut.keyword_end - cut.start, scratch));
      const std::size_t next = s + 1 < cuts.size() ? cuts[s + 1].start : children.size();
      append_moved(out, children, cut.end, next);
    }
  });
}

}  // namespace trelm::parser
