// The shapes of the template engine's whitespace, name and number tokens, shared by the
// two Jinja lexers so that both cut a tag where the engine does.
#pragma once

#include <cstddef>
#include <string_view>

namespace trelm::jinja {

// The length of the whitespace character at `p`, or 0: the engine's
// whitespace is Python's, the ASCII separators and Unicode White_Space.
std::size_t whitespace_length(std::string_view s, std::size_t p);

// The end of the run of name characters starting at `p` (`p` itself when
// none starts there): ASCII letters, digits and "_", and the non-ASCII
// characters of the engine's name pattern. The engine takes the run whole
// and then refuses it unless it is an identifier.
std::size_t name_end(std::string_view s, std::size_t p);
// Whether a run of name characters is a valid identifier: a first
// character that may start one, the others ones that may continue it.
bool is_identifier(std::string_view name);

// The end of the float starting at `p`, or 0 when none does: digit groups
// joined by single underscores, then a fraction, an exponent or both, with
// no "." just before it («a.1.2» is two subscripts, not a float).
std::size_t float_end(std::string_view s, std::size_t p);
// The end of the integer starting at the ASCII digit at `p`: 0b.., 0o..,
// 0x.. (each with at least one digit), a decimal without a leading zero,
// or zeros; underscores only between digits.
std::size_t integer_end(std::string_view s, std::size_t p);

}  // namespace trelm::jinja
