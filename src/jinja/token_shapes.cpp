#include "jinja/token_shapes.hpp"

#include "lexer/cursor.hpp"
#include "lexer/unicode.hpp"

namespace trelm::jinja {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_in_base(char c, int base) {
  if (base == 2) return c == '0' || c == '1';
  if (base == 8) return c >= '0' && c <= '7';
  return is_hex(c);
}

// The character at `p` when the name's run takes it, with its length; 0
// when it does not.
std::size_t name_char_length(std::string_view s, std::size_t p, char32_t& cp) {
  const auto b = static_cast<unsigned char>(s[p]);
  cp = b;
  if (b < 0x80) return (b == '_' || is_ascii_letter(static_cast<char>(b)) || is_digit(static_cast<char>(b))) ? 1 : 0;
  const auto d = lexer::detail::decode_utf8(s, p);
  if (!d.valid || !lexer::unicode::is_name_run(d.cp)) return 0;
  cp = d.cp;
  return d.length;
}

// Digit groups joined by single underscores: «1_000».
std::size_t digits_end(std::string_view s, std::size_t p) {
  if (p >= s.size() || !is_digit(s[p])) return 0;
  while (true) {
    while (p < s.size() && is_digit(s[p])) ++p;
    if (p + 1 < s.size() && s[p] == '_' && is_digit(s[p + 1])) {
      ++p;
      continue;
    }
    return p;
  }
}

std::size_t exponent_end(std::string_view s, std::size_t p) {
  if (p >= s.size() || (s[p] != 'e' && s[p] != 'E')) return 0;
  ++p;
  if (p < s.size() && (s[p] == '+' || s[p] == '-')) ++p;
  return digits_end(s, p);
}

}  // namespace

std::size_t whitespace_length(std::string_view s, std::size_t p) {
  const auto b = static_cast<unsigned char>(s[p]);
  if (b < 0x80) return (b == ' ' || (b >= 9 && b <= 13) || (b >= 0x1C && b <= 0x1F)) ? 1 : 0;
  return lexer::unicode::white_space_length(s, p);
}

std::size_t name_end(std::string_view s, std::size_t p) {
  char32_t cp = 0;
  while (p < s.size()) {
    const std::size_t n = name_char_length(s, p, cp);
    if (n == 0) break;
    p += n;
  }
  return p;
}

bool is_identifier(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t p = 0; p < name.size();) {
    char32_t cp = 0;
    const std::size_t n = name_char_length(name, p, cp);
    if (n == 0) return false;
    const bool ok = cp < 0x80 ? (p > 0 || !is_digit(static_cast<char>(cp)))
                              : (p == 0 ? lexer::unicode::is_name_start(cp) : lexer::unicode::is_name_continue(cp));
    if (!ok) return false;
    p += n;
  }
  return true;
}

std::size_t float_end(std::string_view s, std::size_t p) {
  if (p > 0 && s[p - 1] == '.') return 0;
  const std::size_t whole = digits_end(s, p);
  if (whole == 0) return 0;
  std::size_t fraction = 0;
  if (whole < s.size() && s[whole] == '.') fraction = digits_end(s, whole + 1);
  if (fraction != 0) {
    if (const std::size_t e = exponent_end(s, fraction)) return e;
    return fraction;
  }
  return exponent_end(s, whole);
}

std::size_t integer_end(std::string_view s, std::size_t p) {
  if (s[p] == '0' && p + 1 < s.size()) {
    const char k = static_cast<char>(s[p + 1] | 0x20);
    const int base = k == 'b' ? 2 : k == 'o' ? 8 : k == 'x' ? 16 : 0;
    if (base != 0) {
      std::size_t q = p + 2;
      while (true) {
        const std::size_t d = q < s.size() && s[q] == '_' ? q + 1 : q;
        if (d < s.size() && is_in_base(s[d], base)) {
          q = d + 1;
        } else {
          break;
        }
      }
      if (q > p + 2) return q;
    }
  }
  const char digit = s[p] == '0' ? '0' : 0;  // after a leading zero only zeros follow
  std::size_t q = p + 1;
  while (true) {
    const std::size_t d = q < s.size() && s[q] == '_' ? q + 1 : q;
    if (d < s.size() && is_digit(s[d]) && (digit == 0 || s[d] == '0')) {
      q = d + 1;
    } else {
      return q;
    }
  }
}

}  // namespace trelm::jinja
