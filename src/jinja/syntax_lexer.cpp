#include "jinja/syntax_lexer.hpp"

#include "jinja/token_shapes.hpp"
#include "lexer/cursor.hpp"

namespace trelm::jinja {
namespace {

using lexer::detail::decode_utf8;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

// The closing marker at `p`: its end, or 0. A "-" before the marker
// belongs to it; a "+" only before "%}".
std::size_t TagLexer::closer_end(std::size_t p) const {
  switch (closer_) {
    case Closer::Expression:
      if (at(p, "-}}")) return p + 3;
      return at(p, "}}") ? p + 2 : 0;
    case Closer::Statement:
      if (at(p, "-%}") || at(p, "+%}")) return p + 3;
      return at(p, "%}") ? p + 2 : 0;
    case Closer::None:
      return 0;
  }
  return 0;
}

std::size_t TagLexer::whitespace_length(std::size_t p) const { return jinja::whitespace_length(s_, p); }

std::size_t TagLexer::after_whitespace(std::size_t p) const {
  while (p < s_.size()) {
    const std::size_t n = whitespace_length(p);
    if (n == 0) break;
    p += n;
  }
  return p;
}

bool TagLexer::lex_one(std::size_t p, SyntaxToken& t) {
  t.start = p;
  const char c = s_[p];
  if (is_digit(c)) {
    if (const std::size_t end = float_end(s_, p)) {
      t.kind = SyntaxKind::Float;
      t.end = end;
      return true;
    }
    t.kind = SyntaxKind::Integer;
    t.end = integer_end(s_, p);
    return true;
  }
  if (c == '\'' || c == '"') return lex_string(p, t);
  if (c == '_' || is_ascii_letter(c) || static_cast<unsigned char>(c) >= 0x80) return lex_name(p, t);
  return lex_operator(p, t);
}

bool TagLexer::lex_string(std::size_t p, SyntaxToken& t) {
  const char quote = s_[p];
  std::size_t q = p + 1;
  while (q < s_.size() && s_[q] != quote) {
    if (s_[q] == '\\') {
      if (q + 1 >= s_.size()) {
        q = s_.size();  // a final backslash leaves the string open
        break;
      }
      if (const char* problem = escape_problem(q)) {
        error_ = problem;
        return false;
      }
      q += 2;
    } else {
      ++q;
    }
  }
  if (q >= s_.size()) {
    error_ = std::string("unexpected char '") + quote + "'";
    return false;
  }
  t.kind = SyntaxKind::String;
  t.end = q + 1;
  return true;
}

// Strings are decoded with Python's escapes; these are the ones whose
// decoding fails.
const char* TagLexer::escape_problem(std::size_t backslash) const {
  const char kind = s_[backslash + 1];
  const auto hex_run = [&](std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t at = backslash + 2 + i;
      if (at >= s_.size() || !is_hex(s_[at])) return false;
    }
    return true;
  };
  switch (kind) {
    case 'x':
      return hex_run(2) ? nullptr : "truncated \\xXX escape";
    case 'u':
      return hex_run(4) ? nullptr : "truncated \\uXXXX escape";
    case 'U': {
      if (!hex_run(8)) return "truncated \\UXXXXXXXX escape";
      const std::string digits(s_.substr(backslash + 2, 8));
      return std::stoul(digits, nullptr, 16) > 0x10FFFF ? "illegal Unicode character" : nullptr;
    }
    case 'N': {
      const std::size_t open = backslash + 2;
      if (open >= s_.size() || s_[open] != '{') return "malformed \\N character escape";
      const std::size_t close = s_.find('}', open + 1);
      if (close == std::string_view::npos || close == open + 1) return "malformed \\N character escape";
      return nullptr;
    }
    default:
      return nullptr;
  }
}

// The engine takes the whole run of name characters, then refuses it
// unless it is an identifier («x²»).
bool TagLexer::lex_name(std::size_t p, SyntaxToken& t) {
  const std::size_t q = name_end(s_, p);
  if (q == p) {
    error_ = "unexpected char '" + std::string(s_.substr(p, decode_utf8(s_, p).length)) + "'";
    return false;
  }
  if (!is_identifier(s_.substr(p, q - p))) {
    error_ = "invalid character in identifier";
    return false;
  }
  t.kind = SyntaxKind::Name;
  t.end = q;
  return true;
}

bool TagLexer::lex_operator(std::size_t p, SyntaxToken& t) {
  struct Entry {
    std::string_view text;
    Op op;
  };
  // Two-character operators first: the longest one wins.
  static constexpr Entry kOps[] = {
      {"//", Op::FloorDiv}, {"**", Op::Pow}, {"==", Op::Eq},  {"!=", Op::Ne},        {">=", Op::GtEq},
      {"<=", Op::LtEq},     {"+", Op::Add},  {"-", Op::Sub},  {"/", Op::Div},        {"*", Op::Mul},
      {"%", Op::Mod},       {"~", Op::Tilde}, {"[", Op::LBracket}, {"]", Op::RBracket}, {"(", Op::LParen},
      {")", Op::RParen},    {"{", Op::LBrace}, {"}", Op::RBrace}, {">", Op::Gt},       {"<", Op::Lt},
      {"=", Op::Assign},    {".", Op::Dot},  {":", Op::Colon}, {"|", Op::Pipe},       {",", Op::Comma},
      {";", Op::Semicolon},
  };
  for (const Entry& e : kOps) {
    if (!at(p, e.text)) continue;
    t.kind = SyntaxKind::Operator;
    t.op = e.op;
    t.end = p + e.text.size();
    return balance(e.text[0]);
  }
  error_ = "unexpected char '" + std::string(s_.substr(p, decode_utf8(s_, p).length)) + "'";
  return false;
}

// Brackets must pair inside a tag; the closing marker only counts
// outside them.
bool TagLexer::balance(char c) {
  switch (c) {
    case '(':
      balance_.push_back(')');
      return true;
    case '[':
      balance_.push_back(']');
      return true;
    case '{':
      balance_.push_back('}');
      return true;
    case ')':
    case ']':
    case '}':
      if (balance_.empty()) {
        error_ = std::string("unexpected '") + c + "'";
        return false;
      }
      if (balance_.back() != c) {
        error_ = std::string("unexpected '") + c + "', expected '" + balance_.back() + "'";
        return false;
      }
      balance_.pop_back();
      return true;
    default:
      return true;
  }
}

SyntaxToken TagLexer::next() {
  if (done_) return last_;
  const auto finish = [this](SyntaxKind kind, std::size_t start, std::size_t end) {
    done_ = true;
    last_ = {kind, Op::None, start, end};
    return last_;
  };
  while (true) {
    if (balance_.empty()) {
      if (const std::size_t end = closer_end(pos_)) return finish(SyntaxKind::End, pos_, end);
    }
    const std::size_t p = after_whitespace(pos_);
    if (p >= s_.size()) return finish(SyntaxKind::Eof, p, p);
    if (p != pos_) {
      pos_ = p;
      continue;  // the closer may follow the whitespace
    }
    SyntaxToken t;
    if (!lex_one(p, t)) return finish(SyntaxKind::Error, p, p + 1);
    pos_ = t.end;
    return t;
  }
}

}  // namespace trelm::jinja
