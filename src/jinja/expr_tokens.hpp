// The tokens of a Jinja expression: what the text inside one tag is cut
// into before its literals and calls are read. The scanner never fails;
// whatever is not a recognised shape is a one-character ExprOther.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace trelm::jinja {

enum class ExprTokenKind : std::uint8_t {
  ExprString = 0,  // quotes included; an unterminated one runs to the end
  ExprName = 1,    // the engine's run of name characters (token_shapes.hpp)
  ExprNumber = 2,  // the engine's integer or float
  ExprOpen = 3,    // "(", "[" or "{"
  ExprClose = 4,   // ")", "]" or "}"
  ExprComma = 5,
  ExprColon = 6,
  ExprAssign = 7,  // a single "=" not followed by "="
  ExprOther = 8,
};

struct ExprToken {
  std::size_t start = 0;  // byte range [start, end) of the scanned text
  std::size_t end = 0;
  ExprTokenKind kind = ExprTokenKind::ExprOther;
  char ch = 0;  // the bracket, for ExprOpen and ExprClose

  std::string_view text_in(std::string_view text) const { return text.substr(start, end - start); }
  bool is(ExprTokenKind k) const { return kind == k; }
  bool is_open(char c) const { return kind == ExprTokenKind::ExprOpen && ch == c; }
  bool is_close(char c) const { return kind == ExprTokenKind::ExprClose && ch == c; }
};

// Where the string opened by the quote at `pos` ends: just after the next
// same quote, a backslash hiding the byte after it; the end of the text
// when it is unterminated.
std::size_t quoted_string_end(std::string_view text, std::size_t pos);

// The tokens of `text`, in order; whitespace (the engine's: ASCII and
// Unicode) separates tokens and is not a token itself.
std::vector<ExprToken> tokenize(std::string_view text);

}  // namespace trelm::jinja
