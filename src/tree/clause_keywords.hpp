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

struct ClauseRows {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool empty() const { return begin == end; }
};

namespace detail {

// Runs of rows sharing a first word, derived from the table at compile time.
struct WordGroup {
  std::string_view word;
  std::size_t begin = 0;
  std::size_t end = 0;
};

constexpr std::size_t count_word_groups() {
  std::size_t n = 0;
  for (std::size_t i = 0; i < kClauseNames.size(); ++i) {
    if (i == 0 || kClauseNames[i].first_word() != kClauseNames[i - 1].first_word()) ++n;
  }
  return n;
}

inline constexpr std::size_t kWordGroupCount = count_word_groups();

constexpr std::array<WordGroup, kWordGroupCount> make_word_groups() {
  std::array<WordGroup, kWordGroupCount> groups{};
  std::size_t g = 0;
  for (std::size_t i = 0; i < kClauseNames.size(); ++i) {
    if (i > 0 && kClauseNames[i].first_word() == kClauseNames[i - 1].first_word()) {
      groups[g - 1].end = i + 1;
      continue;
    }
    groups[g++] = WordGroup{kClauseNames[i].first_word(), i, i + 1};
  }
  return groups;
}

inline constexpr std::array<WordGroup, kWordGroupCount> kWordGroups = make_word_groups();

inline constexpr std::size_t kLongestFirstWord = [] {
  std::size_t n = 0;
  for (const WordGroup& g : kWordGroups) n = g.word.size() > n ? g.word.size() : n;
  return n;
}();

// For each letter, and for each word length, one bit per group whose first
// word starts with that letter or has that length.
constexpr std::array<std::uint32_t, 26> make_letter_masks() {
  std::array<std::uint32_t, 26> masks{};
  for (std::size_t g = 0; g < kWordGroupCount; ++g) {
    masks[static_cast<std::size_t>(kWordGroups[g].word[0] - 'A')] |= std::uint32_t{1} << g;
  }
  return masks;
}
constexpr std::array<std::uint32_t, kLongestFirstWord + 1> make_length_masks() {
  std::array<std::uint32_t, kLongestFirstWord + 1> masks{};
  for (std::size_t g = 0; g < kWordGroupCount; ++g) masks[kWordGroups[g].word.size()] |= std::uint32_t{1} << g;
  return masks;
}

inline constexpr std::array<std::uint32_t, 26> kLetterMasks = make_letter_masks();
inline constexpr std::array<std::uint32_t, kLongestFirstWord + 1> kLengthMasks = make_length_masks();

// The group among `candidates` (one bit per group) whose word is `word`.
ClauseRows clause_rows_among(std::string_view word, std::uint32_t candidates);

}  // namespace detail

// The rows [begin, end) of kClauseNames whose first word is `word` under
// ASCII case folding; empty for any other word. It runs for every word the
// parser meets, so most words are turned away here, inline, by their length
// and first letter; the text of the few left is compared out of line.
inline ClauseRows clause_rows_for(std::string_view word) {
  if (word.empty() || word.size() > detail::kLongestFirstWord) return {};
  const unsigned letter = (static_cast<unsigned char>(word[0]) | 0x20u) - 'a';
  if (letter >= 26) return {};
  const std::uint32_t candidates = detail::kLetterMasks[letter] & detail::kLengthMasks[word.size()];
  if (candidates == 0) return {};
  return detail::clause_rows_among(word, candidates);
}

// The row named exactly `name` ("GROUP BY"), or nullptr.
const ClauseName* find_clause_name(std::string_view name);

}  // namespace trelm::cst
