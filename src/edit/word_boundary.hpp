// Keeping words apart. Text an edit puts next to other text must not run
// into it: «select» followed by a new item «x» written flush would read as
// the one word «selectx». Edits put a single space where two word
// characters would meet.
#pragma once

#include <cstddef>

#include "tree/node.hpp"

namespace trelm::edit::detail {

// Whether the child's text starts / ends with a character that can continue
// a word (ASCII letter or digit, "_", "$", or any non-ASCII character). A
// node answers for its first / last token.
bool starts_with_word_char(const cst::Child& child);
bool ends_with_word_char(const cst::Child& child);

// Puts a space between children j - 1 and j of `node` when their words would
// meet. Answers whether a space was added.
bool keep_words_apart(cst::Node& node, std::size_t j);

// Appends a space to `node` when its text ends in a word character and
// `word_follows` says that the text right after the node begins with one.
void keep_end_apart(cst::Node& node, bool word_follows);

}  // namespace trelm::edit::detail
