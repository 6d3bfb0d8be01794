#include "parser/query_builder.hpp"

#include <array>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <utility>
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

struct KeywordRow {
  std::string_view word;  // compared with ASCII case folding
  Shape shape;
};

// Words are matched in place, so no upper-cased copy of each word is needed;
// the upper-case word is also the clause name's first word.
constexpr std::array<KeywordRow, 14> kKeywords{{
    {"SELECT", Shape::Single},
    {"FROM", Shape::Single},
    {"WHERE", Shape::Single},
    {"GROUP", Shape::NeedsBy},
    {"HAVING", Shape::Single},
    {"WINDOW", Shape::Single},
    {"QUALIFY", Shape::Single},
    {"ORDER", Shape::NeedsBy},
    {"LIMIT", Shape::Single},
    {"OFFSET", Shape::Single},
    {"UNION", Shape::SetOperation},
    {"INTERSECT", Shape::SetOperation},
    {"MINUS", Shape::SetOperation},
    {"EXCEPT", Shape::SetOperation},
}};

const KeywordRow* find_keyword(const cst::Token& word) {
  for (const KeywordRow& row : kKeywords) {
    if (cst::equals_folded(word.text(), row.word)) return &row;
  }
  return nullptr;
}

bool is_token_text(const Child& c, std::string_view text) {
  const cst::Token* t = c.as_token();
  return t != nullptr && t->text() == text;
}

// Ties a keyword to what stands before it: "t.from" is a column, «is
// distinct from» a comparison, «* except (a)» a column filter.
bool keyword_allowed_after(std::string_view word, const Children& children, std::size_t before) {
  if (before == npos) return true;
  const Child& prev = children[before];
  if (prev.is_token_kind(TokenKind::Other) && is_token_text(prev, ".")) return false;
  if (word == "FROM" && prev.is_keyword("distinct")) return false;
  if (word == "EXCEPT" && is_token_text(prev, "*")) return false;
  return true;
}

struct ClauseSpan {
  std::string name;
  std::size_t start = 0;
  std::size_t keyword_end = 0;
};

// A query that starts with WITH opens its first clause there; "WITH" is no
// keyword anywhere else.
std::vector<ClauseSpan> find_clauses(const Children& children) {
  std::vector<ClauseSpan> spans;
  std::size_t p = 0;
  if (!children.empty() && children[0].is_keyword("with")) {
    std::size_t r = cst::next_significant(children, 1);
    if (r != npos && children[r].is_keyword("recursive")) {
      spans.push_back({"WITH RECURSIVE", 0, r + 1});
    } else {
      spans.push_back({"WITH", 0, 1});
    }
    p = spans.back().keyword_end;
  }
  while (p < children.size()) {
    std::optional<ClauseKeyword> kw = clause_keyword(children, p);
    if (!kw) {
      ++p;
      continue;
    }
    spans.push_back({std::move(kw->name), p, kw->end});
    p = spans.back().keyword_end;
  }
  return spans;
}

// Where the select list begins: after DISTINCT, DISTINCT ON (...), ALL and
// TOP n, which stay loose children of the clause.
std::size_t select_list_start(const Children& clause, std::size_t q) {
  while (true) {
    std::size_t j = cst::next_significant(clause, q);
    if (j == npos || !clause[j].is_token_kind(TokenKind::Word)) return q;
    if (clause[j].is_keyword("distinct")) {
      q = j + 1;
      std::size_t on = cst::next_significant(clause, j + 1);
      if (on != npos && clause[on].is_keyword("on")) {
        std::size_t m = cst::next_significant(clause, on + 1);
        if (m != npos && clause[m].is_node_tag(NodeTag::Paren)) q = m + 1;
      }
    } else if (clause[j].is_keyword("all")) {
      q = j + 1;
    } else if (clause[j].is_keyword("top")) {
      std::size_t t = cst::next_significant(clause, j + 1);
      q = t != npos ? t + 1 : j + 1;
    } else {
      return q;
    }
  }
}

Children divide_clause(const std::string& name, Children clause, std::size_t keyword_len) {
  if (name == "SELECT") {
    std::size_t q = select_list_start(clause, keyword_len);
    return split_list(std::move(clause), q, NodeTag::SelectItem);
  }
  if (name == "WITH" || name == "WITH RECURSIVE") {
    return split_list(std::move(clause), keyword_len, NodeTag::Cte);
  }
  return clause;
}

Children take_range(Children& from, std::size_t begin, std::size_t end) {
  auto first = from.begin() + static_cast<std::ptrdiff_t>(begin);
  auto last = from.begin() + static_cast<std::ptrdiff_t>(end);
  return Children(std::make_move_iterator(first), std::make_move_iterator(last));
}

}  // namespace

std::optional<ClauseKeyword> clause_keyword(const Children& children, std::size_t i) {
  const cst::Token* t = children[i].as_token();
  if (t == nullptr || t->kind != TokenKind::Word) return std::nullopt;
  const KeywordRow* row = find_keyword(*t);
  if (row == nullptr) return std::nullopt;
  if (!keyword_allowed_after(row->word, children, cst::last_significant_before(children, i))) {
    return std::nullopt;
  }
  if (row->shape == Shape::Single) return ClauseKeyword{std::string(row->word), i + 1};

  std::size_t n = cst::next_significant(children, i + 1);
  if (row->shape == Shape::NeedsBy) {
    if (n == npos || !children[n].is_keyword("by")) return std::nullopt;
    return ClauseKeyword{std::string(row->word) + " BY", n + 1};
  }
  if (n != npos && children[n].is_keyword("all")) return ClauseKeyword{std::string(row->word) + " ALL", n + 1};
  if (n != npos && children[n].is_keyword("distinct")) {
    return ClauseKeyword{std::string(row->word) + " DISTINCT", n + 1};
  }
  return ClauseKeyword{std::string(row->word), i + 1};
}

cst::NodeRef build_query(Children children) {
  std::vector<ClauseSpan> spans = find_clauses(children);

  // Clauses are cut off the end of the list, last first, so every child is
  // moved once and nothing in front of a cut is shifted.
  struct Cut {
    cst::NodeRef clause;
    Children loose;
  };
  std::vector<Cut> cuts(spans.size());
  std::size_t limit = children.size();
  for (std::size_t s = spans.size(); s-- > 0;) {
    ClauseSpan& span = spans[s];
    std::size_t last = cst::last_significant_before(children, limit);
    std::size_t end = same_line_end(children, limit, last);
    cuts[s].loose = take_range(children, end, limit);
    Children own = take_range(children, span.start, end);
    children.erase(children.begin() + static_cast<std::ptrdiff_t>(span.start), children.end());
    Children divided = divide_clause(span.name, std::move(own), span.keyword_end - span.start);
    cuts[s].clause = cst::make_node(NodeKind::clause(span.name), std::move(divided));
    limit = span.start;
  }

  Children out = std::move(children);
  for (Cut& cut : cuts) {
    out.emplace_back(std::move(cut.clause));
    out.insert(out.end(), std::make_move_iterator(cut.loose.begin()), std::make_move_iterator(cut.loose.end()));
  }
  return cst::make_node(NodeKind(NodeTag::Query), std::move(out));
}

}  // namespace trelm::parser
