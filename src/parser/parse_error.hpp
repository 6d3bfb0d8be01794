// The parser's failure record, with line and column computed from bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace trelm::parser {

struct ParseError {
  std::string message;
  std::size_t line = 1;    // 1-based
  std::size_t column = 1;  // 1-based, in bytes
  std::size_t offset = 0;  // 0-based byte offset into the lexed text
};

// Locates `offset` (a character boundary of `source`) as line and column.
ParseError error_at(std::string_view source, std::size_t offset, std::string_view message);

}  // namespace trelm::parser
