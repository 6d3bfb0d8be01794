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

// 16 bytes: a pointer to the text, its length and the kind. A token either
// owns a heap copy of its text, or borrows it from the source buffer of the
// parse that made it (the nodes of that parse keep the buffer alive). Only
// the parser makes borrowing tokens, and only moves keep them borrowing;
// every other token, copies included, owns its text.
class Token {
 public:
  Token() : kind(TokenKind::Other) {}
  Token(TokenKind k, std::string_view text) : kind(k) { assign_copy(text); }
  // A token that points at `text` instead of copying it; `text` must outlive
  // the token.
  static Token borrowing(TokenKind k, std::string_view text) {
    Token t;
    t.kind = k;
    t.set_view(text.data(), text.size());
    return t;
  }

  // A copy owns its text, so it may go anywhere; only a move keeps the view.
  Token(const Token& o) : kind(o.kind) { assign_copy(o.text()); }
  Token(Token&& o) noexcept
      : data_(o.data_), size_low_(o.size_low_), size_high_(o.size_high_), kind(o.kind), flags_(o.flags_) {
    o.forget();
  }
  Token& operator=(const Token& o) {
    if (this != &o) *this = Token(o);
    return *this;
  }
  Token& operator=(Token&& o) noexcept {
    if (this != &o) {
      free_text();
      data_ = o.data_;
      size_low_ = o.size_low_;
      size_high_ = o.size_high_;
      kind = o.kind;
      flags_ = o.flags_;
      o.forget();
    }
    return *this;
  }
  ~Token() { free_text(); }

  std::string_view text() const { return {data_, size()}; }
  std::size_t size() const { return size_low_ | (static_cast<std::size_t>(size_high_) << 32); }
  bool owns_text() const { return (flags_ & kOwned) != 0; }

  // The length test is inline: it turns nearly every word away without a
  // call or a look at the text.
  bool is_keyword(std::string_view word) const {
    return kind == TokenKind::Word && size() == word.size() && equals_folded(text(), word);
  }
  bool is_trivia() const { return is_trivia_kind(kind); }

 private:
  friend class Child;
  static constexpr std::uint8_t kOwned = 1;
  static constexpr std::uint8_t kNode = 2;  // set only by Child, whose slot then holds a node

  void set_view(const char* data, std::size_t size) {
    data_ = data;
    size_low_ = static_cast<std::uint32_t>(size);
    size_high_ = static_cast<std::uint16_t>(size >> 32);
  }
  void assign_copy(std::string_view text) {
    if (text.empty()) return;
    char* copy = new char[text.size()];
    text.copy(copy, text.size());
    set_view(copy, text.size());
    flags_ = kOwned;
  }
  void free_text() {
    if (owns_text()) delete[] data_;
  }
  void forget() {
    data_ = nullptr;
    size_low_ = 0;
    size_high_ = 0;
    flags_ = 0;
  }

  const char* data_ = nullptr;
  std::uint32_t size_low_ = 0;
  std::uint16_t size_high_ = 0;  // 48 bits of length in all

 public:
  TokenKind kind;

 private:
  std::uint8_t flags_ = 0;
};

static_assert(sizeof(Token) == 16);

}  // namespace trelm::cst
