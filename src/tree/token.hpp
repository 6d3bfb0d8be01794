// Leaf of the syntax tree: a kind and the exact source text it covers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace trelm::cst {

// The numeric values are stable: other code groups kinds by range
// (0..3 trivia, 3..6 Jinja tags).
enum class TokenKind : std::uint8_t {
  Whitespace = 0,
  LineComment = 1,
  BlockComment = 2,
  JinjaComment = 3,
  JinjaExpression = 4,
  JinjaStatement = 5,
  JinjaRaw = 6,
  String = 7,
  QuotedIdentifier = 8,
  Word = 9,
  Number = 10,
  LParen = 11,
  RParen = 12,
  LBracket = 13,
  RBracket = 14,
  Comma = 15,
  Semicolon = 16,
  Other = 17,
};

// Whitespace and comments: everything a construct may be padded with.
constexpr bool is_trivia_kind(TokenKind k) { return static_cast<std::uint8_t>(k) <= 3; }

// A Jinja comment, expression, statement or raw block.
constexpr bool is_jinja_kind(TokenKind k) {
  auto v = static_cast<std::uint8_t>(k);
  return v >= 3 && v <= 6;
}

// ASCII-only case folding: "A".."Z" compare as lower case, every other byte
// as itself, lengths must match.
bool equals_folded(std::string_view a, std::string_view b);

struct Token {
  // libstdc++'s std::string keeps texts of up to 15 bytes inline, so the
  // common short token (a word, a comma, a space) costs no heap allocation.
  std::string text;
  TokenKind kind = TokenKind::Other;

  Token() = default;
  Token(TokenKind k, std::string_view t) : text(t), kind(k) {}

  bool is_keyword(std::string_view word) const {
    return kind == TokenKind::Word && equals_folded(text, word);
  }
  bool is_trivia() const { return is_trivia_kind(kind); }
};

}  // namespace trelm::cst
