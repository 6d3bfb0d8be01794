// Keeping tokens apart. Text an edit puts next to other text must not run
// into it: «select» followed by a new item «x» written flush would read as
// the one word «selectx», «a -» before «-- c» as «a» and a comment, «c{»
// before «{# j #}» as an unterminated «{{». Edits put a single space where
// two tokens would not lex as themselves.
#pragma once

#include <cstddef>
#include <optional>

#include "tree/node.hpp"

namespace trelm::edit::detail {

// The first / last token under the child; nullopt when it holds none. A
// node answers for its first / last token.
std::optional<cst::Token> edge_token(const cst::Child& child, bool first);

// Whether `left` written directly before `right` lexes as other tokens than
// these two. Whitespace on either side never joins anything that matters,
// and a line comment on the left is closed by a line break elsewhere.
bool would_join(const cst::Token& left, const cst::Token& right);

// Puts a space between children j - 1 and j of `node` when their tokens
// would join. Answers whether a space was added.
bool keep_apart(cst::Node& node, std::size_t j);

// Appends a space to `node` when its last token would join `next`, the first
// token of the text right after the node, or, when that is not known, a
// Jinja tag or comment.
void keep_end_apart(cst::Node& node, const std::optional<cst::Token>& next);

}  // namespace trelm::edit::detail
