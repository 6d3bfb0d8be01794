#include "parser/query_builder.hpp"

#include <cstdint>
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

// How the word after a clause's first word takes part in its name.
enum class Shape : std::uint8_t {
  Single,        // the word alone: SELECT, FROM, ...
  NeedsBy,       // GROUP BY, ORDER BY: without "by" it is no keyword
  SetOperation,  // UNION [ALL | DISTINCT], ...
};

// What must not stand before the keyword, besides a "." that makes any of
// them a column name: «is distinct from», «* except (a)».
enum class Guard : std::uint8_t { None, NotAfterDistinct, NotAfterStar };

// The word is matched with ASCII case folding and is also the clause name's
// first word; the longer names are spelled out so that they are static text.
struct KeywordRow {
  std::string_view word;
  Shape shape;
  Guard guard;
  std::string_view with_by;        // NeedsBy
  std::string_view with_all;       // SetOperation
  std::string_view with_distinct;  // SetOperation
};

constexpr KeywordRow kSelect{"SELECT", Shape::Single, Guard::None, {}, {}, {}};
constexpr KeywordRow kFrom{"FROM", Shape::Single, Guard::NotAfterDistinct, {}, {}, {}};
constexpr KeywordRow kWhere{"WHERE", Shape::Single, Guard::None, {}, {}, {}};
constexpr KeywordRow kGroup{"GROUP", Shape::NeedsBy, Guard::None, "GROUP BY", {}, {}};
constexpr KeywordRow kHaving{"HAVING", Shape::Single, Guard::None, {}, {}, {}};
constexpr KeywordRow kWindow{"WINDOW", Shape::Single, Guard::None, {}, {}, {}};
constexpr KeywordRow kQualify{"QUALIFY", Shape::Single, Guard::None, {}, {}, {}};
constexpr KeywordRow kOrder{"ORDER", Shape::NeedsBy, Guard::None, "ORDER BY", {}, {}};
constexpr KeywordRow kLimit{"LIMIT", Shape::Single, Guard::None, {}, {}, {}};
constexpr KeywordRow kOffset{"OFFSET", Shape::Single, Guard::None, {}, {}, {}};
constexpr KeywordRow kUnion{"UNION", Shape::SetOperation, Guard::None, {}, "UNION ALL", "UNION DISTINCT"};
constexpr KeywordRow kIntersect{
    "INTERSECT", Shape::SetOperation, Guard::None, {}, "INTERSECT ALL", "INTERSECT DISTINCT"};
constexpr KeywordRow kMinus{"MINUS", Shape::SetOperation, Guard::None, {}, "MINUS ALL", "MINUS DISTINCT"};
constexpr KeywordRow kExcept{"EXCEPT", Shape::SetOperation, Guard::NotAfterStar, {}, "EXCEPT ALL", "EXCEPT DISTINCT"};

// The one row a word could match, picked by its folded first letter and its
// length, so that most words are turned away without comparing any text.
const KeywordRow* candidate_row(std::string_view word) {
  if (word.size() < 4 || word.size() > 9) return nullptr;
  const bool five = word.size() == 5;
  switch (static_cast<unsigned char>(word[0]) | 0x20) {
    case 's': return &kSelect;
    case 'f': return &kFrom;
    case 'w': return five ? &kWhere : &kWindow;
    case 'g': return &kGroup;
    case 'h': return &kHaving;
    case 'q': return &kQualify;
    case 'o': return five ? &kOrder : &kOffset;
    case 'l': return &kLimit;
    case 'u': return &kUnion;
    case 'i': return &kIntersect;
    case 'm': return &kMinus;
    case 'e': return &kExcept;
    default: return nullptr;
  }
}

const KeywordRow* find_keyword(const cst::Token& word) {
  const KeywordRow* row = candidate_row(word.text());
  return row != nullptr && cst::equals_folded(word.text(), row->word) ? row : nullptr;
}

bool is_token_text(const Child& c, std::string_view text) {
  const cst::Token* t = c.as_token();
  return t != nullptr && t->text() == text;
}

// Ties a keyword to what stands before it: "t.from" is a column, «is
// distinct from» a comparison, «* except (a)» a column filter.
bool keyword_allowed_after(const KeywordRow& row, ConstSlice children, std::size_t before) {
  if (before == npos) return true;
  const Child& prev = children[before];
  if (prev.is_token_kind(TokenKind::Other) && is_token_text(prev, ".")) return false;
  if (row.guard == Guard::NotAfterDistinct && prev.is_keyword("distinct")) return false;
  if (row.guard == Guard::NotAfterStar && is_token_text(prev, "*")) return false;
  return true;
}

// clause_keyword with the last significant child before `i` already known.
std::optional<ClauseKeyword> keyword_at(ConstSlice children, std::size_t i, std::size_t before) {
  const cst::Token* t = children[i].as_token();
  if (t == nullptr || t->kind != TokenKind::Word) return std::nullopt;
  const KeywordRow* row = find_keyword(*t);
  if (row == nullptr || !keyword_allowed_after(*row, children, before)) return std::nullopt;
  if (row->shape == Shape::Single) return ClauseKeyword{row->word, i + 1};

  std::size_t n = next_significant_in(children, i + 1, children.size());
  if (row->shape == Shape::NeedsBy) {
    if (n == npos || !children[n].is_keyword("by")) return std::nullopt;
    return ClauseKeyword{row->with_by, n + 1};
  }
  if (n != npos && children[n].is_keyword("all")) return ClauseKeyword{row->with_all, n + 1};
  if (n != npos && children[n].is_keyword("distinct")) return ClauseKeyword{row->with_distinct, n + 1};
  return ClauseKeyword{row->word, i + 1};
}

// Records the clauses in source order. A query that starts with WITH opens
// its first clause there; "WITH" is no keyword anywhere else. The last
// significant child is followed along the scan; the last word of a keyword
// is significant, so after a keyword it is the one just before `p`.
void find_clauses(ConstSlice children, std::vector<ClauseCut>& cuts) {
  cuts.clear();
  std::size_t p = 0;
  if (!children.empty() && children[0].is_keyword("with")) {
    std::size_t r = next_significant_in(children, 1, children.size());
    if (r != npos && children[r].is_keyword("recursive")) {
      cuts.push_back({"WITH RECURSIVE", 0, r + 1});
    } else {
      cuts.push_back({"WITH", 0, 1});
    }
    p = cuts.back().keyword_end;
  }
  std::size_t before = p == 0 ? npos : p - 1;
  while (p < children.size()) {
    if (std::optional<ClauseKeyword> kw = keyword_at(children, p, before)) {
      cuts.push_back({kw->name, p, kw->end});
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

Children clause_children(std::string_view name, Slice clause, std::size_t keyword_len, Scratch& scratch) {
  if (name == "SELECT") {
    return split_list(clause, select_list_start(clause, keyword_len), NodeTag::SelectItem, scratch);
  }
  if (name == "WITH" || name == "WITH RECURSIVE") return split_list(clause, keyword_len, NodeTag::Cte, scratch);
  return moved_out(clause, 0, clause.size());
}

}  // namespace

std::optional<ClauseKeyword> clause_keyword(ConstSlice children, std::size_t i) {
  return keyword_at(children, i, last_significant_in(children, 0, i));
}

cst::NodeRef build_query(Slice children, Scratch& scratch) {
  std::vector<ClauseCut>& cuts = scratch.clauses;
  find_clauses(children, cuts);
  // Callers hand over lists that start with SELECT or WITH, so a clause is
  // always found; a list without one still makes a (clause-less) query.
  if (cuts.empty()) return scratch.node(NodeKind(NodeTag::Query), moved_out(children, 0, children.size()));
  Children out;
  out.reserve(find_clause_ends(children, cuts));
  append_moved(out, children, 0, cuts.front().start);
  // By index: dividing a clause uses the other scratch lists only.
  for (std::size_t s = 0; s < cuts.size(); ++s) {
    const ClauseCut cut = cuts[s];
    Slice own = children.subspan(cut.start, cut.end - cut.start);
    Children divided = clause_children(cut.name, own, cut.keyword_end - cut.start, scratch);
    out.emplace_back(scratch.node(NodeKind::clause(cut.name), std::move(divided)));
    const std::size_t next = s + 1 < cuts.size() ? cuts[s + 1].start : children.size();
    append_moved(out, children, cut.end, next);
  }
  return scratch.node(NodeKind(NodeTag::Query), std::move(out));
}

}  // namespace trelm::parser
