// The column-reference reader shared by select items, filters and the
// columns of Jinja blocks: one pass over flat lexemes (see lineage.hpp).
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "query/lineage.hpp"

namespace trelm::query {

// Inline: a scan asks these of nearly every lexeme.
inline bool is_name_lexeme(const Lexeme& l) {
  return l.is_token() && (l.kind == cst::TokenKind::Word || l.kind == cst::TokenKind::QuotedIdentifier);
}

inline bool is_jinja_tag_lexeme(const Lexeme& l) {
  return l.is_token() && (l.kind == cst::TokenKind::JinjaExpression || l.kind == cst::TokenKind::JinjaStatement ||
                          l.kind == cst::TokenKind::JinjaRaw);
}

// The next significant lexeme after `i` before `end`, or `end`.
inline std::size_t next_significant_lexeme(const std::vector<Lexeme>& lex, std::size_t i, std::size_t end) {
  for (std::size_t k = i + 1; k < end; ++k) {
    if (lex[k].is_significant()) return k;
  }
  return end;
}

// The last significant lexeme before `i` from `begin` on, or npos.
inline std::size_t prev_significant_lexeme(const std::vector<Lexeme>& lex, std::size_t i, std::size_t begin) {
  for (std::size_t k = i; k > begin;) {
    --k;
    if (lex[k].is_significant()) return k;
  }
  return cst::npos;
}
// [first, last] token of lexemes [begin, end), which hold at least one token.
TokenRange token_range(const std::vector<Lexeme>& lex, std::size_t begin, std::size_t end);

// Text made while reading (an unquoted name that differs from its token, a
// qualifier of several parts), kept where views of it stay put.
using KeptTexts = std::deque<std::string>;

// A ColumnRef as views, for a reader that keeps the tree unedited while it
// uses them: into the tree's text or into KeptTexts.
struct RefView {
  std::string_view qualifier;
  bool qualified = false;
  std::string_view name;
  TokenRange range;
  std::string_view clause;  // a literal, or a clause's name
};

ColumnRef owned(const RefView& ref);

// unquoted() of a text of two bytes or more that starts with a quote.
std::string_view unquoted_after_quote(std::string_view text, KeptTexts& kept);

// unquote(text) as a view: of the text, or of the part inside its quotes,
// or, when unquoting changes more, of a copy `kept` holds. Inline: most
// names a scan meets are not quoted.
inline std::string_view unquoted(std::string_view text, KeptTexts& kept) {
  if (text.size() < 2 || (text.front() != '"' && text.front() != '`')) return text;
  return unquoted_after_quote(text, kept);
}

// What kind of expression lexemes [begin, end) are.
struct ScanFacts {
  bool aggregate = false;  // an aggregate or window function
  bool jinja = false;      // a Jinja tag
  bool subquery = false;
  bool bare = false;       // the whole range is one reference
};

// scan_refs(), its references appended to `refs`.
ScanFacts scan_ref_views(const std::vector<Lexeme>& lex, std::size_t begin, std::size_t end, bool window_after_as,
                         std::vector<RefView>& refs, KeptTexts& kept);

// lineage_of(), its references appended to `refs` and a star's excluded
// names to `excluded`.
ColumnKind lineage_views(const std::vector<Lexeme>& lex, std::size_t begin, std::size_t end,
                          std::optional<std::string_view> name, std::vector<RefView>& refs,
                          std::vector<std::string_view>& excluded, KeptTexts& kept);

// item_lineage_and_name(), as lineage_views(); the caller holds the item's read lock.
ColumnKind item_lineage_views(const cst::Children& item, std::optional<std::string_view>& name, LexemeBuffer& buffer,
                              std::vector<RefView>& refs, std::vector<std::string_view>& excluded, KeptTexts& kept);

// What the references of lexemes [begin, end) are, and what kind of
// expression holds them.
struct RefScan {
  std::vector<ColumnRef> refs;
  bool aggregate = false;  // an aggregate or window function
  bool jinja = false;      // a Jinja tag
  bool subquery = false;
  bool bare = false;       // the whole range is one reference
};

// `window_after_as`: a bracket after AS is a window's definition, as in a
// WINDOW clause.
RefScan scan_refs(const std::vector<Lexeme>& lex, std::size_t begin, std::size_t end, bool window_after_as = false);

// The lineage of lexemes [begin, end) of a select item without its alias,
// whose output is named `name`.
ItemLineage lineage_of(const std::vector<Lexeme>& lex, std::size_t begin, std::size_t end,
                       const std::optional<std::string>& name);

// A select item as read for a file's lineage.
struct ItemView {
  const cst::Node* node = nullptr;  // in the tree, which the reader keeps unedited
  std::optional<std::string_view> name;
  ColumnKind kind = ColumnKind::Expression;
  std::size_t refs_begin = 0;  // its references: [refs_begin, refs_end) of QueryViews::refs
  std::size_t refs_end = 0;
  std::size_t excluded_begin = 0;  // a star's excluded names: of QueryViews::excluded
  std::size_t excluded_end = 0;
};

// A SELECT clause: its items are [items_begin, items_end) of QueryViews::items.
struct SelectView {
  const cst::Node* node = nullptr;
  std::size_t items_begin = 0;
  std::size_t items_end = 0;
  bool has_blocks = false;  // a Jinja block among its children
};

// A Relation whose query (of a CTE or subquery) is known by address.
struct RelationView {
  RelationKind kind = RelationKind::Table;
  std::string name;
  std::string source_name;
  std::optional<std::string> alias;
  cst::Node* query = nullptr;
  TokenRange range;
};

// query_reads(), with the SELECTs' items, as views: one list of references
// for all items; nodes by address. Kept by a caller that reads many
// queries, so that each reuses the room of the last.
struct QueryViews {
  std::vector<RelationView> relations;
  std::vector<RefView> filters;
  std::vector<RefView> refs;
  std::vector<std::string_view> excluded;
  std::vector<ItemView> items;
  std::vector<SelectView> selects;
  LexemeBuffer buffer;
  // The reading's own lists: the query's CTEs, the CTE names it sees, its clauses.
  std::vector<CteView> own_ctes;
  std::vector<std::string_view> visible;
  std::vector<const cst::Node*> clauses;

  void clear();
};

// The reader keeps the tree unedited while it uses the views.
void read_query_views(const cst::Node& query, const std::vector<CteView>& outer_ctes, QueryViews& out,
                      KeptTexts& kept);

}  // namespace trelm::query
