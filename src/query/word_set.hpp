// A fixed set of words, asked whether it holds a word, ignoring ASCII case.
// The words are kept by length and first letter, so that a question compares
// a few of them at most, where a list of seventy would be walked whole.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

#include "tree/node.hpp"

namespace trelm::query {

class WordSet {
 public:
  template <std::size_t N>
  explicit WordSet(const std::array<std::string_view, N>& words) {
    for (std::string_view w : words) {
      if (!w.empty() && w.size() <= kLongest) slots_[slot(w)].push_back(w);
    }
  }

  bool contains(std::string_view word) const {
    if (word.empty() || word.size() > kLongest) return false;
    // A slot's words share the length and first letter: the last byte,
    // compared inline, turns most of them away without a call.
    const auto last = static_cast<unsigned char>(word.back());
    for (std::string_view w : slots_[slot(word)]) {
      if (((static_cast<unsigned char>(w.back()) ^ last) & ~0x20u) == 0 && cst::equals_folded(w, word)) return true;
    }
    return false;
  }

 private:
  static constexpr std::size_t kLongest = 40;  // longer words are never held
  static constexpr std::size_t kInitials = 27;  // a to z, and any other first byte

  static std::size_t slot(std::string_view word) {
    auto c = static_cast<unsigned char>(word[0]);
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + ('a' - 'A'));
    const std::size_t initial = c >= 'a' && c <= 'z' ? static_cast<std::size_t>(c - 'a') : kInitials - 1;
    return word.size() * kInitials + initial;
  }

  std::array<std::vector<std::string_view>, (kLongest + 1) * kInitials> slots_;
};

}  // namespace trelm::query
