// Reading literal values out of Jinja expression tokens, and the quote
// style a piece of Jinja already uses.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "jinja/expr_tokens.hpp"
#include "jinja/literal.hpp"

namespace trelm::jinja {

// The character a Unicode name stands for, as the "\N{...}" string escape
// looks it up; nullopt when there is none. The core keeps no name table:
// the binding answers from the interpreter's, and without one a string
// holding that escape is no literal.
using CharacterNames = std::function<std::optional<char32_t>(std::string_view name)>;

// The value of a string literal's inner text (between its quotes), decoded
// as the template engine decodes it: a carriage return, alone or before a
// line feed, reads as a line feed, then Python's escapes apply. nullopt
// when the engine refuses the text, or when the value would hold a lone
// surrogate, which UTF-8 cannot carry.
std::optional<std::string> decode_string(std::string_view inner, const CharacterNames* names = nullptr);

// One literal starting at token `i` of `tokens` (scanned from `text`), with
// the index of the first token after it; nullopt when none starts there.
// A literal is what the engine reads as a constant: strings (adjacent ones
// joined), integers of any size, floats, booleans, none, lists, tuples (as
// lists), dicts, a value in parentheses, and a number after "-" or "+".
std::optional<std::pair<Literal, std::size_t>> literal_at(std::string_view text, const std::vector<ExprToken>& tokens,
                                                          std::size_t i, const CharacterNames* names = nullptr);

// `text` as exactly one literal, every token used; nullopt otherwise.
std::optional<Literal> parse_literal(std::string_view text, const CharacterNames* names = nullptr);

// The integer written `digits` (an optional "-", then decimal digits or a
// 0b, 0o or 0x prefix and its digits, no underscores): an Int when it fits
// 64 bits, a BigInt otherwise.
Literal integer_literal(std::string_view digits);

// The quote of the first string in `text`, '"' when there is none.
char quote_style(std::string_view text);

}  // namespace trelm::jinja
