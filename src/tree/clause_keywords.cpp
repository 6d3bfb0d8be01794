#include "tree/clause_keywords.hpp"

#include <bit>

#include "tree/token.hpp"

namespace trelm::cst {
namespace detail {
namespace {

// A word that came back after another one would make a second group that
// the lookup never reaches.
constexpr bool first_words_are_adjacent() {
  for (std::size_t a = 0; a < kWordGroupCount; ++a) {
    for (std::size_t b = a + 1; b < kWordGroupCount; ++b) {
      if (kWordGroups[a].word == kWordGroups[b].word) return false;
    }
  }
  return true;
}

constexpr bool first_letters_are_upper_ascii() {
  for (const WordGroup& g : kWordGroups) {
    if (g.word.empty() || g.word[0] < 'A' || g.word[0] > 'Z') return false;
  }
  return true;
}

static_assert(kWordGroupCount <= 32, "one bit per first word");
static_assert(first_words_are_adjacent(), "rows sharing a first word must be adjacent");
static_assert(first_letters_are_upper_ascii(), "first words start with an upper-case ASCII letter");

}  // namespace

ClauseRows clause_rows_among(std::string_view word, std::uint32_t candidates) {
  for (; candidates != 0; candidates &= candidates - 1) {
    const WordGroup& g = kWordGroups[static_cast<std::size_t>(std::countr_zero(candidates))];
    if (equals_folded(g.word, word)) return ClauseRows{g.begin, g.end};
  }
  return {};
}

}  // namespace detail

const ClauseName* find_clause_name(std::string_view name) {
  for (const ClauseName& row : kClauseNames) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

}  // namespace trelm::cst
