// The one table of clause keywords. The parser recognises clauses from it
// and clause nodes take their names from it, so adding a row (say FETCH) is
// the whole change: nothing else lists the words or picks them by length.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace trelm::cst {

// What must not stand before a keyword's first word, besides a "." that
// makes any of them a column name: «is distinct from», «* except (a)».
enum class KeywordGuard : std::uint8_t { None, NotAfterDistinct, NotAfterStar };

struct ClauseName {
  // Upper case, words separated by one space. A one-word name is matched by
  // its word alone; a two-word name by both words with trivia between, and
  // wins over the one-word name that shares its first word.
  std::string_view name;
  // Rows sharing a first word share their guard.
  KeywordGuard guard = KeywordGuard::None;
  // WITH: a keyword only as the first word of a query.
  bool opens_query_only = false;

  constexpr std::string_view first_word() const { return name.substr(0, name.find(' ')); }
  // Empty for a one-word name.
  constexpr std::string_view second_word() const {
    std::size_t space = name.find(' ');
    return space == std::string_view::npos ? std::string_view() : name.substr(space + 1);
  }
};

// Rows sharing a first word are adjacent. GROUP and ORDER have no one-word
// row: without "by" they are no keyword.
inline constexpr std::array<ClauseName, 24> kClauseNames{{
    {"SELECT"},
    {"FROM", KeywordGuard::NotAfterDistinct},
    {"WHERE"},
    {"GROUP BY"},
    {"HAVING"},
    {"WINDOW"},
    {"QUALIFY"},
    {"ORDER BY"},
    {"LIMIT"},
    {"OFFSET"},
    {"UNION"},
    {"UNION ALL"},
    {"UNION DISTINCT"},
    {"INTERSECT"},
    {"INTERSECT ALL"},
    {"INTERSECT DISTINCT"},
    {"MINUS"},
    {"MINUS ALL"},
    {"MINUS DISTINCT"},
    {"EXCEPT", KeywordGuard::NotAfterStar},
    {"EXCEPT ALL", KeywordGuard::NotAfterStar},
    {"EXCEPT DISTINCT", KeywordGuard::NotAfterStar},
    {"WITH", KeywordGuard::None, true},
    {"WITH RECURSIVE", KeywordGuard::None, true},
}};

// The rows [begin, end) of kClauseNames whose first word is `word` under
// ASCII case folding; empty for any other word. Most words are turned away
// by their first letter and length before any text is compared.
struct ClauseRows {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool empty() const { return begin == end; }
};
ClauseRows clause_rows_for(std::string_view word);

// The row named exactly `name` ("GROUP BY"), or nullptr.
const ClauseName* find_clause_name(std::string_view name);

}  // namespace trelm::cst
