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

// Lexes `text` from `from` (just after the opening marker and its
// whitespace-control sign, for a tag) up to the closing marker, one token
// per call, so that a parse that fails early lexes no further.
class TagLexer {
 public:
  TagLexer(std::string_view text, std::size_t from, Closer closer) : s_(text), pos_(from), closer_(closer) {}

  // The next token; once End, Eof or Error is returned, it is returned again.
  SyntaxToken next();
  // Why the lexer stopped, once it returned Error.
  const std::string& error() const { return error_; }

 private:
  bool at(std::size_t p, std::string_view what) const { return s_.substr(p, what.size()) == what; }
  std::size_t closer_end(std::size_t p) const;
  std::size_t whitespace_length(std::size_t p) const;
  std::size_t after_whitespace(std::size_t p) const;
  bool lex_one(std::size_t p, SyntaxToken& t);
  bool lex_string(std::size_t p, SyntaxToken& t);
  const char* escape_problem(std::size_t backslash) const;
  bool lex_name(std::size_t p, SyntaxToken& t);
  bool lex_operator(std::size_t p, SyntaxToken& t);
  bool balance(char c);

  std::string_view s_;
  std::size_t pos_;
  Closer closer_;
  std::vector<char> balance_;  // the closers the open brackets wait for
  std::string error_;
  bool done_ = false;
  SyntaxToken last_;
};

}  // namespace trelm::jinja
