// Reading literal values out of Jinja expression tokens, and the quote
// style a piece of Jinja already uses.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "jinja/expr_tokens.hpp"
#include "jinja/literal.hpp"

namespace trelm::jinja {

// One literal starting at token `i` of `tokens` (scanned from `text`), with
// the index of the first token after it; nullopt when none starts there.
std::optional<std::pair<Literal, std::size_t>> literal_at(std::string_view text, const std::vector<ExprToken>& tokens,
                                                          std::size_t i);

// `text` as exactly one literal, every token used; nullopt otherwise.
std::optional<Literal> parse_literal(std::string_view text);

// The quote of the first string in `text`, '"' when there is none.
char quote_style(std::string_view text);

}  // namespace trelm::jinja
