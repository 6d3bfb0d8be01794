// Hand-built trees for tests that must not depend on the real lexer and
// parser.
#pragma once

#include <cctype>
#include <string_view>
#include <vector>

#include "tree/node.hpp"

namespace trelm::testing {

// A deliberately small tokenizer for test input, so that item analysis can be
// tested on hand-built trees independently of the real lexer and parser. It
// knows words, numbers, whitespace, quoted names, strings, comments, Jinja
// tags and brackets (which it nests into Paren / Bracket nodes).
class TinyBuilder {
 public:
  explicit TinyBuilder(std::string_view src) : s_(src) {}

  inline cst::Children build() {
    std::vector<cst::Children> stack(1);
    while (i_ < s_.size()) {
      char c = s_[i_];
      if (c == '(' || c == '[') {
        stack.emplace_back();
        stack.back().push_back(take(c == '(' ? cst::TokenKind::LParen : cst::TokenKind::LBracket, 1));
      } else if ((c == ')' || c == ']') && stack.size() > 1) {
        stack.back().push_back(take(c == ')' ? cst::TokenKind::RParen : cst::TokenKind::RBracket, 1));
        cst::NodeTag tag = c == ')' ? cst::NodeTag::Paren : cst::NodeTag::Bracket;
        cst::NodeRef n = cst::make_node(tag, std::move(stack.back()));
        stack.pop_back();
        stack.back().push_back(std::move(n));
      } else {
        stack.back().push_back(next_token());
      }
    }
    return std::move(stack.front());
  }

 private:
  cst::Token take(cst::TokenKind kind, std::size_t len) {
    cst::Token t(kind, s_.substr(i_, len));
    i_ += len;
    return t;
  }

  std::size_t until(std::string_view end) const {
    std::size_t e = s_.find(end, i_ + end.size());
    return e == std::string_view::npos ? s_.size() - i_ : e + end.size() - i_;
  }

  std::size_t quoted(char q) const {
    std::size_t j = i_ + 1;
    while (j < s_.size()) {
      if (s_[j] == q && j + 1 < s_.size() && s_[j + 1] == q) {
        j += 2;
      } else if (s_[j] == q) {
        return j + 1 - i_;
      } else {
        ++j;
      }
    }
    return s_.size() - i_;
  }

  std::size_t run(bool (*keep)(unsigned char)) const {
    std::size_t j = i_;
    while (j < s_.size() && keep(static_cast<unsigned char>(s_[j]))) ++j;
    return j - i_;
  }

  cst::Token next_token() {
    std::string_view rest = s_.substr(i_);
    unsigned char c = static_cast<unsigned char>(s_[i_]);
    if (std::isspace(c)) return take(cst::TokenKind::Whitespace, run([](unsigned char x) { return std::isspace(x) != 0; }));
    if (rest.starts_with("--")) {
      std::size_t nl = rest.find('\n');
      return take(cst::TokenKind::LineComment, nl == std::string_view::npos ? rest.size() : nl);
    }
    if (rest.starts_with("/*")) return take(cst::TokenKind::BlockComment, until("*/"));
    if (rest.starts_with("{{")) return take(cst::TokenKind::JinjaExpression, until("}}"));
    if (rest.starts_with("{%")) return take(cst::TokenKind::JinjaStatement, until("%}"));
    if (rest.starts_with("{#")) return take(cst::TokenKind::JinjaComment, until("#}"));
    if (c == '"' || c == '`') return take(cst::TokenKind::QuotedIdentifier, quoted(static_cast<char>(c)));
    if (c == '\'') return take(cst::TokenKind::String, quoted('\''));
    if (std::isalpha(c) || c == '_') {
      return take(cst::TokenKind::Word, run([](unsigned char x) { return std::isalnum(x) != 0 || x == '_'; }));
    }
    if (std::isdigit(c)) return take(cst::TokenKind::Number, run([](unsigned char x) { return std::isdigit(x) != 0; }));
    if (c == ',') return take(cst::TokenKind::Comma, 1);
    if (c == ';') return take(cst::TokenKind::Semicolon, 1);
    if (c == ')') return take(cst::TokenKind::RParen, 1);
    if (c == ']') return take(cst::TokenKind::RBracket, 1);
    return take(cst::TokenKind::Other, 1);
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

inline cst::Children build(std::string_view src) { return TinyBuilder(src).build(); }

}  // namespace trelm::testing
