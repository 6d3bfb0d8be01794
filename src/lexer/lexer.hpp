// Splits model text into tokens that cover every byte exactly once.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tree/token.hpp"

namespace trelm::lexer {

struct LexError {
  std::string message;
  std::size_t offset = 0;  // byte offset of the construct that failed
};

using LexResult = std::variant<std::vector<cst::Token>, LexError>;

// The tokens of `source`, or the first unterminated Jinja construct. The
// tokens borrow their texts from `source`, which must outlive them.
LexResult lex(std::string_view source);

// Takes the tokens of a streamed lex, in order, a batch at a time. The
// tokens may be moved out; the batch's storage is reused once take returns.
class TokenSink {
 public:
  virtual void take(std::span<cst::Token> batch) = 0;
  // Room for the record of a long token's text that lives as long as the
  // text; null for the heap.
  virtual void* record_room(std::size_t bytes) = 0;

 protected:
  ~TokenSink() = default;
};

// Lexes `source` into `sink` holding only one small batch of tokens at a
// time, so a large file never has all its tokens in memory at once. Stops
// at the first unterminated Jinja construct (the sink has seen the tokens
// before it) and returns its error.
std::optional<LexError> lex_into(std::string_view source, TokenSink& sink);

// What the `Other` token at `offset` of `source` (lexed from it) leaves open:
// a quote, "/*" or dollar delimiter that `lex` found no closer for, named
// for a message ("string", "quoted identifier", "block comment",
// "dollar-quoted string"). Empty for any other token. Followed by more text,
// such an opener can find a closer there and swallow what lies between.
std::string_view unclosed_construct(std::string_view source, std::size_t offset);

}  // namespace trelm::lexer
