#include "jinja/expr_tokens.hpp"

#include "jinja/token_shapes.hpp"

namespace trelm::jinja {
namespace {

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// One recognizer per token shape; each returns the end of its token.

// "!", "<", "=" or ">" with one directly following "=".
std::size_t comparison_end(std::string_view s, std::size_t p) {
  return p + 1 < s.size() && s[p + 1] == '=' ? p + 2 : p + 1;
}

// One whole UTF-8 character: the lead byte's length when the continuation
// bytes are there, else the one byte (text from Python is always valid).
std::size_t character_end(std::string_view s, std::size_t p) {
  const auto b0 = static_cast<unsigned char>(s[p]);
  const std::size_t length = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 1;
  if (p + length > s.size()) return p + 1;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(s[p + i]) & 0xC0) != 0x80) return p + 1;
  }
  return p + length;
}

}  // namespace

std::size_t quoted_string_end(std::string_view text, std::size_t pos) {
  const char quote = text[pos];
  for (std::size_t i = pos + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == quote) {
      return i + 1;
    }
  }
  return text.size();
}

std::vector<ExprToken> tokenize(std::string_view text) {
  std::vector<ExprToken> tokens;
  std::size_t p = 0;
  while (p < text.size()) {
    const char c = text[p];
    if (const std::size_t blank = whitespace_length(text, p)) {
      p += blank;
      continue;
    }
    ExprToken t;
    t.start = p;
    switch (c) {
      case '"':
      case '\'':
        t.kind = ExprTokenKind::ExprString;
        t.end = quoted_string_end(text, p);
        break;
      case '(':
      case '[':
      case '{':
        t.kind = ExprTokenKind::ExprOpen;
        t.ch = c;
        t.end = p + 1;
        break;
      case ')':
      case ']':
      case '}':
        t.kind = ExprTokenKind::ExprClose;
        t.ch = c;
        t.end = p + 1;
        break;
      case ',':
        t.kind = ExprTokenKind::ExprComma;
        t.end = p + 1;
        break;
      case ':':
        t.kind = ExprTokenKind::ExprColon;
        t.end = p + 1;
        break;
      case '=':
      case '!':
      case '<':
      case '>':
        t.end = comparison_end(text, p);
        t.kind = c == '=' && t.end == p + 1 ? ExprTokenKind::ExprAssign : ExprTokenKind::ExprOther;
        break;
      default:
        if (is_ascii_digit(c)) {
          t.kind = ExprTokenKind::ExprNumber;
          const std::size_t f = float_end(text, p);
          t.end = f != 0 ? f : integer_end(text, p);
        } else if (const std::size_t n = name_end(text, p); n > p) {
          t.kind = ExprTokenKind::ExprName;
          t.end = n;
        } else {
          t.kind = ExprTokenKind::ExprOther;
          t.end = character_end(text, p);
        }
        break;
    }
    tokens.push_back(t);
    p = t.end;
  }
  return tokens;
}

}  // namespace trelm::jinja
