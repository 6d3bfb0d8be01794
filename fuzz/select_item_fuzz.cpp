// Invariants of parsing stand-alone select item text: an accepted item
// prints back the text trimmed of Unicode whitespace; a refusal carries one
// of the item messages or a lexer message, at an offset inside the trimmed
// text (a lexer error's offset holds the "{" that opens the construct, an
// unclosed quote's or comment's its opening character).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <variant>

#include "fuzz_check.hpp"
#include "jinja/template_check.hpp"
#include "lexer/cursor.hpp"
#include "parser/select_items.hpp"
#include "tree/print.hpp"

namespace {

using namespace trelm;

std::string_view trim_unicode(std::string_view s) {
  std::size_t first = s.size();
  std::size_t last = 0;
  for (std::size_t pos = 0; pos < s.size();) {
    const lexer::detail::Decoded c = lexer::detail::decode_utf8(s, pos);
    if (!c.valid || !lexer::unicode::is_white_space(c.cp)) {
      if (first == s.size()) first = pos;
      last = pos + c.length;
    }
    pos += c.length;
  }
  return first == s.size() ? std::string_view() : s.substr(first, last - first);
}

bool is_item_message(std::string_view m) {
  return m == "a select item cannot be empty" || m == "a select item cannot contain a top level `,` or `;`" ||
         m == "a select item cannot contain a clause keyword" || m == "a select item cannot end in `.` or `distinct`";
}

// A quote, "/*" or dollar delimiter with no closer in the item.
bool is_unclosed_message(std::string_view m) {
  return m == "unterminated string" || m == "unterminated quoted identifier" || m == "unterminated block comment" ||
         m == "unterminated dollar-quoted string";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string_view trimmed = trim_unicode(text);
  const parser::SelectItemResult result = parser::parse_select_item(text);
  if (const auto* error = std::get_if<parser::ParseError>(&result)) {
    if (fuzz::is_lexer_message(error->message)) {
      CHECK(error->offset < trimmed.size() && trimmed[error->offset] == '{');
    } else if (is_unclosed_message(error->message)) {
      CHECK(error->offset < trimmed.size() && std::string_view("'\"`/$").find(trimmed[error->offset]) != std::string_view::npos);
    } else if (const auto problems = jinja::check_template(trimmed);
               !problems.empty() && error->message == problems.front().message) {
      CHECK(error->offset == problems.front().start);
    } else {
      CHECK(is_item_message(error->message));
      CHECK(error->offset < trimmed.size() || (trimmed.empty() && error->offset == 0));
    }
    return 0;
  }
  const cst::NodeRef& item = std::get<cst::NodeRef>(result);
  CHECK(item->kind.tag == cst::NodeTag::SelectItem);
  CHECK(cst::node_text(item) == trimmed);
  // Its Jinja checks on its own: the item cannot break the template it goes into.
  CHECK(jinja::check_template(trimmed).empty());
  return 0;
}
