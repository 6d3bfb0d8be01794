// Where Jinja constructs begin and end. Used by the main lexer loop, inside
// quoted tokens and comments, by grouping (tag names) and by the reference
// scanner (embedded tags).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "tree/token.hpp"

namespace trelm::lexer {

struct TagMatch {
  enum class Outcome { Success, NoMatch, Failure };
  Outcome outcome = Outcome::NoMatch;
  std::size_t length = 0;                               // Success: bytes consumed
  cst::TokenKind kind = cst::TokenKind::JinjaExpression; // Success: 3, 4, 5 or 6
  std::string_view message;                             // Failure: fixed text
};

// Recognizes a Jinja construct at the start of `input` (which starts at a "{").
TagMatch jinja_tag(std::string_view input);

// Length of a "{{"/"{%" tag up to and including `closer` at bracket depth 0
// outside quotes, or nullopt when no closer is found.
std::optional<std::size_t> expression_tag(std::string_view input, std::string_view closer);

// The name of a statement tag («{% if x %}» gives "if"), or nullopt.
std::optional<std::string_view> tag_name(std::string_view tag_text);

// Every complete "{{" and "{%" tag in `text`, in order; Jinja comments and
// raw blocks are passed over whole, tags in them included. Never fails.
std::vector<std::string_view> embedded_tags(std::string_view text);

}  // namespace trelm::lexer
