#include "lexer/unicode.hpp"

#include <algorithm>
#include <cstddef>

#include "lexer/cursor.hpp"
#include "lexer/unicode_tables.hpp"

namespace trelm::lexer::unicode {
namespace {

bool in_table(const CodeRange* table, std::size_t count, char32_t cp) {
  const CodeRange* end = table + count;
  // First range whose upper bound is not below cp; cp is in it or in none.
  const CodeRange* it =
      std::lower_bound(table, end, cp, [](const CodeRange& r, char32_t c) { return r.hi < c; });
  return it != end && it->lo <= cp;
}

}  // namespace

bool is_white_space(char32_t cp) {
  if (cp < 0x80) return cp == ' ' || (cp >= 0x09 && cp <= 0x0D);
  return in_table(kWhiteSpace, kWhiteSpaceCount, cp);
}

bool is_alphabetic(char32_t cp) {
  if (cp < 0x80) return (cp | 0x20) >= 'a' && (cp | 0x20) <= 'z';
  return in_table(kAlphabetic, kAlphabeticCount, cp);
}

bool is_numeric(char32_t cp) {
  if (cp < 0x80) return cp >= '0' && cp <= '9';
  return in_table(kNumeric, kNumericCount, cp);
}

bool is_name_run(char32_t cp) { return in_table(kNameRun, kNameRunCount, cp); }
bool is_name_start(char32_t cp) { return in_table(kNameStart, kNameStartCount, cp); }
bool is_name_continue(char32_t cp) { return in_table(kNameContinue, kNameContinueCount, cp); }

std::size_t white_space_length(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return 0;
  const detail::Decoded c = detail::decode_utf8(text, pos);
  return c.valid && is_white_space(c.cp) ? c.length : 0;
}

bool is_all_white_space(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = white_space_length(text, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

}  // namespace trelm::lexer::unicode
