// The tokens of one Jinja tag as the template engine cuts it: names,
// strings, integers, floats and operators, ended by the tag's closing
// marker. Unlike expr_tokens (which never fails and only feeds the literal
// and call readers) this lexer refuses what the engine refuses: a character
// that starts no token, a bracket that closes nothing or the wrong thing, a
// string escape that does not decode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trelm::jinja {

enum class SyntaxKind : std::uint8_t {
  Name,
  String,
  Integer,
  Float,
  Operator,
  End,    // the tag's closing marker
  Eof,    // the text ran out (a tag without its marker, or a bare expression)
  Error,  // the lexer stopped here; the lexed tag's `error` says why
};

enum class Op : std::uint8_t {
  None,
  Add, Sub, Div, FloorDiv, Mul, Mod, Pow, Tilde,
  LBracket, RBracket, LParen, RParen, LBrace, RBrace,
  Eq, Ne, Gt, GtEq, Lt, LtEq, Assign,
  Dot, Colon, Pipe, Comma, Semicolon,
};

struct SyntaxToken {
  SyntaxKind kind = SyntaxKind::Eof;
  Op op = Op::None;
  std::size_t start = 0;  // byte range in the lexed text
  std::size_t end = 0;
};

// What closes the text being lexed: "}}" for an expression tag, "%}" for a
// statement tag, nothing for a bare expression.
enum class Closer : std::uint8_t { Expression, Statement, None };

struct LexedTag {
  std::vector<SyntaxToken> tokens;  // never empty; the last is End, Eof or Error
  std::string error;                // the lexer's message when the last is Error
};

// Lexes `text` from `from` (just after the opening marker and its
// whitespace-control sign, for a tag) up to the closing marker.
LexedTag lex_tag(std::string_view text, std::size_t from, Closer closer);

}  // namespace trelm::jinja
