#include "parser/parse_error.hpp"

#include <algorithm>

namespace trelm::parser {

ParseError error_at(std::string_view source, std::size_t offset, std::string_view message) {
  offset = std::min(offset, source.size());
  std::string_view before = source.substr(0, offset);
  ParseError e;
  e.message = std::string(message);
  e.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  std::size_t last_lf = before.rfind('\n');
  e.column = last_lf == std::string_view::npos ? offset + 1 : offset - last_lf;
  e.offset = offset;
  return e;
}

}  // namespace trelm::parser
