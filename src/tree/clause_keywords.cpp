#include "tree/clause_keywords.hpp"

#include <bit>

#include "tree/token.hpp"

namespace trelm::cst {
namespace {

// Runs of rows sharing a first word, derived from the table at compile time.
struct WordGroup {
  std::string_view word;
  std::size_t begin = 0;
  std::size_t end = 0;
};

constexpr std::size_t count_groups() {
  std::size_t n = 0;
  for (std::size_t i = 0; i < kClauseNames.size(); ++i) {
    if (i == 0 || kClauseNames[i].first_word() != kClauseNames[i - 1].first_word()) ++n;
  }
  return n;
}

constexpr std::size_t kGroupCount = count_groups();

constexpr std::array<WordGroup, kGroupCount> make_groups() {
  std::array<WordGroup, kGroupCount> groups{};
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

constexpr std::array<WordGroup, kGroupCount> kGroups = make_groups();

// A word that came back after another one would make a second group that
// the lookup never reaches.
constexpr bool first_words_are_adjacent() {
  for (std::size_t a = 0; a < kGroupCount; ++a) {
    for (std::size_t b = a + 1; b < kGroupCount; ++b) {
      if (kGroups[a].word == kGroups[b].word) return false;
    }
  }
  return true;
}

constexpr bool first_letters_are_upper_ascii() {
  for (const WordGroup& g : kGroups) {
    if (g.word.empty() || g.word[0] < 'A' || g.word[0] > 'Z') return false;
  }
  return true;
}

static_assert(kGroupCount <= 32, "one bit per first word");
static_assert(first_words_are_adjacent(), "rows sharing a first word must be adjacent");
static_assert(first_letters_are_upper_ascii(), "first words start with an upper-case ASCII letter");

// For each letter, one bit per group whose word starts with it.
constexpr std::array<std::uint32_t, 26> make_letter_masks() {
  std::array<std::uint32_t, 26> masks{};
  for (std::size_t g = 0; g < kGroupCount; ++g) masks[static_cast<std::size_t>(kGroups[g].word[0] - 'A')] |= 1u << g;
  return masks;
}

constexpr std::array<std::uint32_t, 26> kLetterMasks = make_letter_masks();

}  // namespace

ClauseRows clause_rows_for(std::string_view word) {
  if (word.empty()) return {};
  const unsigned letter = (static_cast<unsigned char>(word[0]) | 0x20u) - 'a';
  if (letter >= 26) return {};
  for (std::uint32_t mask = kLetterMasks[letter]; mask != 0; mask &= mask - 1) {
    const WordGroup& g = kGroups[static_cast<std::size_t>(std::countr_zero(mask))];
    if (g.word.size() == word.size() && equals_folded(g.word, word)) return ClauseRows{g.begin, g.end};
  }
  return {};
}

const ClauseName* find_clause_name(std::string_view name) {
  for (const ClauseName& row : kClauseNames) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

}  // namespace trelm::cst
