// The column-reference reader shared by select items, filters and the
// columns of Jinja blocks: one pass over flat lexemes (see lineage.hpp).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "query/lineage.hpp"

namespace trelm::query {

bool is_name_lexeme(const Lexeme& l);
bool is_jinja_tag_lexeme(const Lexeme& l);
// The next significant lexeme after `i` before `end`, or `end`.
std::size_t next_significant_lexeme(const std::vector<Lexeme>& lex, std::size_t i, std::size_t end);
// The last significant lexeme before `i` from `begin` on, or npos.
std::size_t prev_significant_lexeme(const std::vector<Lexeme>& lex, std::size_t i, std::size_t begin);
// [first, last] token of lexemes [begin, end), which hold at least one token.
TokenRange token_range(const std::vector<Lexeme>& lex, std::size_t begin, std::size_t end);

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

}  // namespace trelm::query
