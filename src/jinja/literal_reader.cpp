#include "jinja/literal_reader.hpp"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "lexer/cursor.hpp"

namespace trelm::jinja {
namespace {

using Tokens = std::vector<ExprToken>;

// ---- strings ---------------------------------------------------------------

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_octal(char c) { return c >= '0' && c <= '7'; }
bool is_surrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

// `count` hex digits at `p`: their value, or nullopt.
std::optional<char32_t> hex_digits(std::string_view s, std::size_t p, std::size_t count) {
  if (p + count > s.size()) return std::nullopt;
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const int d = hex_value(s[p + i]);
    if (d < 0) return std::nullopt;
    v = (v << 4) | static_cast<std::uint32_t>(d);
  }
  return static_cast<char32_t>(v);
}

// The engine escapes every non-ASCII character as Python's backslashreplace
// does before decoding: after a backslash that text reads as itself.
void append_backslashreplace(std::string& out, char32_t cp) {
  static constexpr char kHex[] = "0123456789abcdef";
  const int width = cp < 0x100 ? 2 : cp < 0x10000 ? 4 : 8;
  out += width == 2 ? 'x' : width == 4 ? 'u' : 'U';
  for (int shift = (width - 1) * 4; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
}

// One escape: `p` is just after the backslash. Appends what it stands for
// and answers the position after it; nullopt when it does not decode.
std::optional<std::size_t> decode_escape(std::string_view s, std::size_t p, std::string& out,
                                         const CharacterNames* names) {
  if (p >= s.size()) return std::nullopt;  // a backslash at the very end
  const char c = s[p];
  switch (c) {
    case '\n': return p + 1;  // a continuation line
    case '\\': out += '\\'; return p + 1;
    case '\'': out += '\''; return p + 1;
    case '"': out += '"'; return p + 1;
    case 'a': out += '\a'; return p + 1;
    case 'b': out += '\b'; return p + 1;
    case 'f': out += '\f'; return p + 1;
    case 'n': out += '\n'; return p + 1;
    case 'r': out += '\r'; return p + 1;
    case 't': out += '\t'; return p + 1;
    case 'v': out += '\v'; return p + 1;
    case 'x':
    case 'u':
    case 'U': {
      const std::size_t count = c == 'x' ? 2 : c == 'u' ? 4 : 8;
      const std::optional<char32_t> cp = hex_digits(s, p + 1, count);
      if (!cp || *cp > 0x10FFFF || is_surrogate(*cp)) return std::nullopt;
      append_utf8(out, *cp);
      return p + 1 + count;
    }
    case 'N': {
      if (p + 1 >= s.size() || s[p + 1] != '{') return std::nullopt;
      const std::size_t close = s.find('}', p + 2);
      if (close == std::string_view::npos || close == p + 2 || names == nullptr || !*names) return std::nullopt;
      const std::optional<char32_t> cp = (*names)(s.substr(p + 2, close - p - 2));
      if (!cp || is_surrogate(*cp)) return std::nullopt;
      append_utf8(out, *cp);
      return close + 1;
    }
    default:
      break;
  }
  if (is_octal(c)) {
    char32_t v = 0;
    std::size_t q = p;
    while (q < s.size() && q < p + 3 && is_octal(s[q])) v = v * 8 + static_cast<char32_t>(s[q++] - '0');
    append_utf8(out, v);
    return q;
  }
  out += '\\';
  const auto b = static_cast<unsigned char>(c);
  if (b < 0x80) {
    out += c;
    return p + 1;
  }
  const lexer::detail::Decoded d = lexer::detail::decode_utf8(s, p);
  if (!d.valid) {
    out += c;
    return p + 1;
  }
  append_backslashreplace(out, d.cp);
  return p + d.length;
}

// ---- scalars ---------------------------------------------------------------

// A string token, quotes included; unterminated ones are no literal.
std::optional<std::string> string_value(std::string_view token, const CharacterNames* names) {
  if (token.size() < 2 || token.front() != token.back()) return std::nullopt;
  const std::string_view inner = token.substr(1, token.size() - 2);
  // The closing quote must be a real one, not an escaped quote at the end.
  std::size_t run = 0;
  while (run < inner.size() && inner[inner.size() - 1 - run] == '\\') ++run;
  if (run % 2 == 1) return std::nullopt;
  return decode_string(inner, names);
}

std::optional<Literal> name_literal(std::string_view token) {
  if (token == "True" || token == "true") return Literal::boolean(true);
  if (token == "False" || token == "false") return Literal::boolean(false);
  if (token == "None" || token == "none") return Literal::none();
  return std::nullopt;
}

bool has_base_prefix(std::string_view digits) {
  if (digits.size() < 2 || digits[0] != '0') return false;
  const char k = static_cast<char>(digits[1] | 0x20);
  return k == 'b' || k == 'o' || k == 'x';
}

// A number token as the engine reads it: underscores dropped, an integer
// exactly, a float as Python rounds it (an overflow is an infinity).
std::optional<Literal> number_literal(std::string_view token) {
  std::string clean;
  clean.reserve(token.size());
  for (char c : token) {
    if (c != '_') clean += c;
  }
  const bool is_float = !has_base_prefix(clean) && clean.find_first_of(".eE") != std::string::npos;
  if (!is_float) return integer_literal(clean);
  double d = 0;
  const auto r = std::from_chars(clean.data(), clean.data() + clean.size(), d, std::chars_format::general);
  if (r.ptr != clean.data() + clean.size()) return std::nullopt;
  if (r.ec == std::errc::result_out_of_range) {
    d = std::strtod(clean.c_str(), nullptr);
  } else if (r.ec != std::errc()) {
    return std::nullopt;
  }
  return Literal::floating(d);
}

// What "-" or "+" makes of the value after it: numbers only (a boolean is a
// number to the engine too, but «-True» is arithmetic, not a literal).
std::optional<Literal> signed_value(Literal value, bool negative) {
  if (value.holds<Literal::Float>()) {
    return negative ? Literal::floating(-value.as<Literal::Float>()) : std::move(value);
  }
  if (!negative) {
    if (value.holds<Literal::Int>() || value.holds<Literal::BigInt>()) return value;
    return std::nullopt;
  }
  if (value.holds<Literal::Int>()) {
    const Literal::Int v = value.as<Literal::Int>();
    if (v == std::numeric_limits<Literal::Int>::min()) return Literal::big_integer("9223372036854775808");
    return Literal::integer(-v);
  }
  if (value.holds<Literal::BigInt>()) {
    const std::string& digits = value.as<Literal::BigInt>().digits;
    return integer_literal(digits[0] == '-' ? digits.substr(1) : "-" + digits);
  }
  return std::nullopt;
}

// A literal that is not a container and not signed, starting at `pos`;
// advances `pos`. Adjacent strings are one string.
std::optional<Literal> scalar_at(std::string_view text, const Tokens& tokens, std::size_t& pos,
                                 const CharacterNames* names) {
  const ExprToken& t = tokens[pos];
  std::optional<Literal> result;
  switch (t.kind) {
    case ExprTokenKind::ExprString: {
      std::string joined;
      while (pos < tokens.size() && tokens[pos].is(ExprTokenKind::ExprString)) {
        std::optional<std::string> part = string_value(tokens[pos].text_in(text), names);
        if (!part) return std::nullopt;
        joined += *part;
        ++pos;
      }
      return Literal::str(std::move(joined));
    }
    case ExprTokenKind::ExprName:
      result = name_literal(t.text_in(text));
      break;
    case ExprTokenKind::ExprNumber:
      result = number_literal(t.text_in(text));
      break;
    default:
      return std::nullopt;
  }
  if (result) ++pos;
  return result;
}

// ---- containers ------------------------------------------------------------

// What is open around the literal being read: a list, a parenthesis (a
// tuple, or one value in parentheses), a dict, or a sign waiting for its
// number.
struct Open {
  enum Kind : std::uint8_t { List, Paren, Dict, Sign } kind = List;
  Literal value;
  std::optional<Literal> key;  // a dict's key, read, waiting for its value
  bool negative = false;       // a sign: "-"
  bool comma = false;          // a parenthesis: a comma seen, so a tuple
  std::size_t items = 0;

  char closer() const { return kind == Paren ? ')' : kind == List ? ']' : '}'; }
};

Open open_container(const ExprToken& t) {
  Open o;
  o.kind = t.ch == '(' ? Open::Paren : t.ch == '[' ? Open::List : Open::Dict;
  o.value = o.kind == Open::Dict ? Literal::dict() : Literal::list();
  return o;
}

// A closed container's value: one value in parentheses without a comma is
// that value.
Literal closed_value(Open& o) {
  if (o.kind == Open::Paren && o.items == 1 && !o.comma) return std::move(o.value.as<Literal::List>().front());
  return std::move(o.value);
}

bool is_sign(std::string_view text, const ExprToken& t) {
  if (!t.is(ExprTokenKind::ExprOther)) return false;
  const std::string_view s = t.text_in(text);
  return s == "-" || s == "+";
}

// After an element or pair: a comma is stepped over and the closer is left
// for the container to see; anything else ends the reading.
bool step_after_item(const Tokens& tokens, std::size_t& pos, Open& parent) {
  if (pos >= tokens.size()) return false;
  if (tokens[pos].is(ExprTokenKind::ExprComma)) {
    parent.comma = true;
    ++pos;
    return true;
  }
  return tokens[pos].is_close(parent.closer());
}

// The value of a string literal that needs no decoding, as almost every
// ref's, source's and config key's is: one pair of quotes around text
// without a backslash, a carriage return or another of those quotes. It
// needs no tokens either.
std::optional<std::string_view> plain_string(std::string_view text) {
  if (text.size() < 2 || (text[0] != '\'' && text[0] != '"') || text.back() != text[0]) return std::nullopt;
  const std::string_view inner = text.substr(1, text.size() - 2);
  const char special[] = {text[0], '\\', '\r'};
  if (inner.find_first_of(std::string_view(special, 3)) != std::string_view::npos) return std::nullopt;
  return inner;
}

}  // namespace

std::optional<std::string> decode_string(std::string_view inner, const CharacterNames* names) {
  // Line ends first: the escapes then see only line feeds.
  std::string text;
  text.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] != '\r') {
      text += inner[i];
      continue;
    }
    text += '\n';
    if (i + 1 < inner.size() && inner[i + 1] == '\n') ++i;
  }
  std::string out;
  out.reserve(text.size());
  for (std::size_t p = 0; p < text.size();) {
    if (text[p] != '\\') {
      out += text[p++];
      continue;
    }
    const std::optional<std::size_t> next = decode_escape(text, p + 1, out, names);
    if (!next) return std::nullopt;
    p = *next;
  }
  return out;
}

Literal integer_literal(std::string_view digits) {
  const bool negative = !digits.empty() && digits[0] == '-';
  std::string_view body = negative ? digits.substr(1) : digits;
  int base = 10;
  std::string_view prefix;
  if (has_base_prefix(body)) {
    const char k = static_cast<char>(body[1] | 0x20);
    base = k == 'b' ? 2 : k == 'o' ? 8 : 16;
    prefix = k == 'b' ? "0b" : k == 'o' ? "0o" : "0x";
    body = body.substr(2);
  }
  std::uint64_t magnitude = 0;
  const auto r = std::from_chars(body.data(), body.data() + body.size(), magnitude, base);
  const std::string sign = negative ? "-" : "";
  if (r.ec == std::errc() && r.ptr == body.data() + body.size()) {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<Literal::Int>::max());
    if (magnitude <= kMax) return Literal::integer(negative ? -static_cast<Literal::Int>(magnitude)
                                                            : static_cast<Literal::Int>(magnitude));
    if (negative && magnitude == kMax + 1) return Literal::integer(std::numeric_limits<Literal::Int>::min());
    return Literal::big_integer(sign + std::to_string(magnitude));
  }
  // Past 64 bits: decimal digits stay as they are (they have no leading
  // zeros), other bases keep their prefix.
  return Literal::big_integer(sign + std::string(prefix) + std::string(body));
}

// Nested lists, dicts and signs are kept on an explicit stack: the depth of
// a literal is bounded only by its text.
std::optional<std::pair<Literal, std::size_t>> literal_at(std::string_view text, const Tokens& tokens, std::size_t i,
                                                          const CharacterNames* names) {
  std::vector<Open> open;
  std::size_t pos = i;
  while (true) {
    // At the start of a literal, or at the closer of the innermost container.
    if (pos >= tokens.size()) return std::nullopt;
    const ExprToken& t = tokens[pos];
    std::optional<Literal> done;
    if (!open.empty() && open.back().kind != Open::Sign && !open.back().key && t.is_close(open.back().closer())) {
      ++pos;
      done = closed_value(open.back());
      open.pop_back();
    } else if (t.is(ExprTokenKind::ExprOpen)) {
      open.push_back(open_container(t));
      ++pos;
      continue;
    } else if (is_sign(text, t)) {
      // Built in place: moving a local here trips a false maybe-uninitialized
      // warning of g++ 12 under -fsanitize=thread.
      Open& sign = open.emplace_back();
      sign.kind = Open::Sign;
      sign.negative = t.text_in(text) == "-";
      ++pos;
      continue;
    } else {
      done = scalar_at(text, tokens, pos, names);
      if (!done) return std::nullopt;
    }
    // Hand the finished literal to what is open around it, or return it.
    while (true) {
      if (open.empty()) return std::make_pair(std::move(*done), pos);
      Open& parent = open.back();
      if (parent.kind == Open::Sign) {
        done = signed_value(std::move(*done), parent.negative);
        if (!done) return std::nullopt;
        open.pop_back();
        continue;
      }
      if (parent.kind != Open::Dict) {
        parent.value.as<Literal::List>().push_back(std::move(*done));
      } else if (!parent.key) {
        // A key: a colon must follow, then the value.
        if (pos >= tokens.size() || !tokens[pos].is(ExprTokenKind::ExprColon)) return std::nullopt;
        ++pos;
        parent.key = std::move(*done);
        break;
      } else {
        parent.value.as<Literal::Dict>().emplace_back(std::move(*parent.key), std::move(*done));
        parent.key.reset();
      }
      ++parent.items;
      if (!step_after_item(tokens, pos, parent)) return std::nullopt;
      break;
    }
  }
}

std::optional<Literal> parse_literal(std::string_view text, const CharacterNames* names) {
  if (const std::optional<std::string_view> plain = plain_string(text)) return Literal::str(std::string(*plain));
  const Tokens tokens = tokenize(text);
  auto read = literal_at(text, tokens, 0, names);
  if (!read || read->second != tokens.size()) return std::nullopt;
  return std::move(read->first);
}

char quote_style(std::string_view text) {
  for (const ExprToken& t : tokenize(text)) {
    if (t.is(ExprTokenKind::ExprString)) return text[t.start];
  }
  return '"';
}

}  // namespace trelm::jinja
