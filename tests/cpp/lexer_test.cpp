#include "lexer/lexer.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lexer/jinja_tags.hpp"
#include "lexer/unicode.hpp"
#include "support/parsed.hpp"

namespace trelm::lexer {
namespace {

using cst::TokenKind;
using testing::repeat;
using Tokens = std::vector<std::pair<TokenKind, std::string>>;

constexpr TokenKind WS = TokenKind::Whitespace, LC = TokenKind::LineComment, BC = TokenKind::BlockComment,
                    JC = TokenKind::JinjaComment, JE = TokenKind::JinjaExpression, JS = TokenKind::JinjaStatement,
                    JR = TokenKind::JinjaRaw, STR = TokenKind::String, QI = TokenKind::QuotedIdentifier,
                    W = TokenKind::Word, N = TokenKind::Number, O = TokenKind::Other;

std::string describe(const Tokens& tokens) {
  std::string out;
  for (const auto& [kind, text] : tokens) out += std::to_string(static_cast<int>(kind)) + ":\"" + text + "\" ";
  return out;
}

std::string describe(const LexResult& result) {
  if (const auto* error = std::get_if<LexError>(&result)) {
    return "error " + error->message + " @" + std::to_string(error->offset);
  }
  Tokens tokens;
  for (const auto& t : std::get<std::vector<cst::Token>>(result)) tokens.emplace_back(t.kind(), t.text());
  return describe(tokens);
}

struct LexCase {
  std::string input;
  Tokens tokens;
};

// One row per token shape and per rule inside a shape; the random inputs
// below reach the many other mixes of these and compare them with the rules.
TEST(Lex, TokensOfEachShape) {
  const std::vector<LexCase> cases = {
      {"", {}}, {" \t\n", {{WS, " \t\n"}}},
      {"select a,b from t;",
       {{W, "select"}, {WS, " "}, {W, "a"}, {TokenKind::Comma, ","}, {W, "b"}, {WS, " "}, {W, "from"},
        {WS, " "}, {W, "t"}, {TokenKind::Semicolon, ";"}}},
      {"f([x])", {{W, "f"}, {TokenKind::LParen, "("}, {TokenKind::LBracket, "["}, {W, "x"},
                  {TokenKind::RBracket, "]"}, {TokenKind::RParen, ")"}}},
      {"a<=b", {{W, "a"}, {O, "<"}, {O, "="}, {W, "b"}}},
      {"a\x0B\x0C" "b", {{W, "a"}, {WS, "\x0B\x0C"}, {W, "b"}}}, {"\x1C", {{O, "\x1C"}}},
      // Strings and quoted identifiers: doubled quotes, backslashes only in strings, tags whole.
      {"'it''s'", {{STR, "'it''s'"}}}, {"'a\\'b'", {{STR, "'a\\'b'"}}}, {"\"a\\\"", {{QI, "\"a\\\""}}},
      {"`a``b`c", {{QI, "`a``b`"}, {W, "c"}}}, {"'abc", {{O, "'"}, {W, "abc"}}},
      {"'{{ \"'\" }}'", {{STR, "'{{ \"'\" }}'"}}},  // the quote inside the tag is the tag's
      // A backslash does not hide a tag: the engine reads tags before any SQL.
      {"'\\{# c #}'", {{STR, "'\\{# c #}'"}}}, {"'\\{x'", {{STR, "'\\{x'"}}},
      {"'\\{#'{%#}", {{O, "'"}, {O, "\\"}, {JC, "{#'{%#}"}}},
      // Dollar-quoted strings; only Jinja is read in the body, and a delimiter inside it closes nothing.
      {"$$ a ' b $$", {{STR, "$$ a ' b $$"}}}, {"$fn$ x $fn$", {{STR, "$fn$ x $fn$"}}},
      {"$$ {# $$ ends {{ starts #} $$ as",
       {{STR, "$$ {# $$ ends {{ starts #} $$"}, {WS, " "}, {W, "as"}}},
      {"$a$ {{ '$a$' }}{% raw %}$a${% endraw %} $a$", {{STR, "$a$ {{ '$a$' }}{% raw %}$a${% endraw %} $a$"}}},
      {"$a$ {# $a$ #}", {{O, "$"}, {W, "a$"}, {WS, " "}, {JC, "{# $a$ #}"}}},
      {"$\xC3\xA9$ b $\xC3\xA9$", {{STR, "$\xC3\xA9$ b $\xC3\xA9$"}}},
      {"$1$ $1$", {{O, "$"}, {N, "1"}, {O, "$"}, {WS, " "}, {O, "$"}, {N, "1"}, {O, "$"}}},
      {"$a$ never closed", {{O, "$"}, {W, "a$"}, {WS, " "}, {W, "never"}, {WS, " "}, {W, "closed"}}},
      // After an unmatched "$q$" the delimiters are looked up in an index.
      {"$q$ $b$ x$a$b$", {{O, "$"}, {W, "q$"}, {WS, " "}, {STR, "$b$ x$a$b$"}}},
      // Comments.
      {"-- note\nselect", {{LC, "-- note"}, {WS, "\n"}, {W, "select"}}},
      {"-- c\r\nx", {{LC, "-- c\r"}, {WS, "\n"}, {W, "x"}}},
      {"-- {{ '\n' }} x\ny", {{LC, "-- {{ '\n' }} x"}, {WS, "\n"}, {W, "y"}}},
      {"/* a * b */", {{BC, "/* a * b */"}}}, {"/* {{ '*/' }} */", {{BC, "/* {{ '*/' }} */"}}},
      {"/* never closed", {{O, "/"}, {O, "*"}, {WS, " "}, {W, "never"}, {WS, " "}, {W, "closed"}}},
      // Numbers.
      {"1.2.3", {{N, "1.2.3"}}}, {".5", {{N, ".5"}}}, {"1.5E-3", {{N, "1.5E-3"}}}, {"1e", {{N, "1"}, {W, "e"}}},
      {"1e5.5", {{N, "1e5"}, {N, ".5"}}}, {"123abc", {{N, "123"}, {W, "abc"}}}, {"a.5", {{W, "a"}, {N, ".5"}}},
      // Words and non-ASCII text: numerics continue a word but do not start one.
      {"naïve_col$1", {{W, "naïve_col$1"}}}, {"§", {{O, "§"}}}, {"x\xC2\xB2\xD9\xA0", {{W, "x\xC2\xB2\xD9\xA0"}}},
      {"\xD9\xA0", {{O, "\xD9\xA0"}}}, {"\xE2\x85\xA0x", {{W, "\xE2\x85\xA0x"}}},  // U+2160 is alphabetic
      {"a\xC2\xA0" "b", {{W, "a"}, {WS, "\xC2\xA0"}, {W, "b"}}},
      {"\xE3\x80\x80\xC2\x85 \xE2\x80\xA8", {{WS, "\xE3\x80\x80\xC2\x85 \xE2\x80\xA8"}}},
      {"\xE2\x80\x8B", {{O, "\xE2\x80\x8B"}}},  // zero width space is no whitespace
      // U+0345 is Alphabetic without being a letter; U+4E00 lies inside a large range; U+10FFFF is nothing.
      {"\xCD\x85\xE4\xB8\x80", {{W, "\xCD\x85\xE4\xB8\x80"}}}, {"\xF4\x8F\xBF\xBF", {{O, "\xF4\x8F\xBF\xBF"}}},
      // Undecodable bytes are one character of no class each: truncated, overlong, surrogate.
      {"\xFF", {{O, "\xFF"}}}, {"a\xC3", {{W, "a"}, {O, "\xC3"}}}, {"\xE2\x80", {{O, "\xE2"}, {O, "\x80"}}},
      {"\xC0\xAF", {{O, "\xC0"}, {O, "\xAF"}}}, {"\xED\xA0\x80", {{O, "\xED"}, {O, "\xA0"}, {O, "\x80"}}},
      {"$\xFF$ x $\xFF$", {{O, "$"}, {O, "\xFF"}, {O, "$"}, {WS, " "}, {W, "x"}, {WS, " "},
                           {O, "$"}, {O, "\xFF"}, {O, "$"}}},
      {std::string("a\0b", 3), {{W, "a"}, {O, std::string(1, '\0')}, {W, "b"}}},
      // Jinja.
      {"{ }", {{O, "{"}, {WS, " "}, {O, "}"}}}, {"{{ '}}' }}", {{JE, "{{ '}}' }}"}}},
      {"{{ x }}}", {{JE, "{{ x }}"}, {O, "}"}}},
      {"{% if x %}a{% endif %}", {{JS, "{% if x %}"}, {W, "a"}, {JS, "{% endif %}"}}},
      {"{# a '#} b", {{JC, "{# a '#}"}, {WS, " "}, {W, "b"}}},
      {"{% raw %}{{ not a tag {% endraw %}", {{JR, "{% raw %}{{ not a tag {% endraw %}"}}},
      {"{% RAW %}", {{JS, "{% RAW %}"}}},
      {"{% raw %}{% raw %}{% endraw %}x", {{JR, "{% raw %}{% raw %}{% endraw %}"}, {W, "x"}}},
      {"{% raw %}'/*{% endraw %}*/'", {{JR, "{% raw %}'/*{% endraw %}"}, {O, "*"}, {O, "/"}, {O, "'"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(describe(lex(c.input)), describe(c.tokens));
  }
}

struct FailCase {
  std::string input;
  std::string message;
  std::size_t offset;
};

TEST(Lex, UnterminatedJinjaFailsAtItsBrace) {
  const std::string expr = "unterminated `{{` tag", stmt = "unterminated `{%` tag",
                    raw = "unterminated `{% raw %}` block", comment = "unterminated `{#` comment";
  const std::vector<FailCase> cases = {
      {"{{", expr, 0}, {"{%", stmt, 0}, {"{#", comment, 0}, {"{#}}", comment, 0}, {"select {{ x", expr, 7},
      {"a\n{% if", stmt, 2}, {"{{ f( }}", expr, 0}, {"{% raw %} never ended", raw, 0},
      {"x {%- raw -%}{% endraw ( %}", raw, 2}, {"-- {{ broken", expr, 3}, {"-- {% raw %} x\n", raw, 3},
      {"'{{ x'", expr, 1}, {"\"{{ x\"", expr, 1}, {"`{# x`", comment, 1}, {"/* {% if */", stmt, 3},
      {"'abc {{ x", expr, 5},  // inside a string that never closes either
      {"'\\{{ x'", expr, 2}, {"$$ {{ x $$", expr, 3},
      {"{{ a }} {{ b", expr, 8}, {"{{ x }}\n{% raw %}{{ y }}", raw, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(describe(lex(c.input)), "error " + c.message + " @" + std::to_string(c.offset));
  }
}

// A direct, unoptimised transcription of the lexing rules: it rescans freely;
// the real lexer must give exactly its answers, memos and shortcuts included.

struct Char {
  char32_t cp = 0;
  std::size_t len = 1;
  bool valid = false;
};

Char decode(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = b(i);
  if (b0 < 0x80) return {b0, 1, true};
  const std::size_t len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
  if (b0 < 0xC2 || b0 > 0xF4 || i + len > s.size()) return {};
  char32_t cp = b0 & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return {};
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  const char32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {};
  return {cp, len, true};
}

class ReferenceLexer {
 public:
  explicit ReferenceLexer(std::string_view s) : s_(s) {}

  std::string run() {
    Tokens tokens;
    std::size_t pos = 0;
    while (pos < s_.size()) {
      TokenKind kind;
      std::size_t end = token(pos, &kind);
      if (failed_) return "error " + std::string(message_) + " @" + std::to_string(error_at_);
      tokens.emplace_back(kind, std::string(s_.substr(pos, end - pos)));
      pos = end;
    }
    return describe(tokens);
  }

 private:
  bool is_ws(const Char& c) const { return c.valid && unicode::is_white_space(c.cp); }
  bool is_alpha(const Char& c) const { return c.valid && unicode::is_alphabetic(c.cp); }
  bool is_tag_char(const Char& c) const {
    return c.valid && (c.cp == '_' || unicode::is_alphabetic(c.cp) || unicode::is_numeric(c.cp));
  }
  int at(std::size_t i) const { return i < s_.size() ? static_cast<unsigned char>(s_[i]) : -1; }
  bool digit(std::size_t i) const { return at(i) >= '0' && at(i) <= '9'; }

  std::size_t token(std::size_t i, TokenKind* kind) {
    const int c = at(i);
    const int c2 = at(i + 1);
    const Char ch = decode(s_, i);
    *kind = O;
    if (c == '{' && (c2 == '{' || c2 == '%' || c2 == '#')) {
      TagMatch m = tag(i);
      if (m.outcome != TagMatch::Outcome::Success) return fail(i, m.message);
      *kind = m.kind;
      return i + m.length;
    }
    if (c == '{') return i + 1;
    if (is_ws(ch)) {
      std::size_t p = i;
      while (p < s_.size() && is_ws(decode(s_, p))) p += decode(s_, p).len;
      *kind = WS;
      return p;
    }
    if (c == '"' || c == '\'' || c == '`') {
      *kind = c == '\'' ? STR : QI;
      std::size_t end = quoted(i);
      if (end == 0) *kind = O;
      return end == 0 ? i + 1 : end;
    }
    if (c == '$') {
      std::size_t p = i + 1;
      while (p < s_.size() && is_tag_char(decode(s_, p))) p += decode(s_, p).len;
      if ((p > i + 1 && digit(i + 1)) || at(p) != '$') return i + 1;
      const std::string_view delim = s_.substr(i, p + 1 - i);
      for (p = p + 1; p < s_.size();) {
        if (s_[p] == '{') {
          p = closed_tag_or_brace(p);
          if (p == kUnclosed) return i + 1;
        } else if (s_.substr(p).starts_with(delim)) {
          *kind = STR;
          return p + delim.size();
        } else {
          ++p;
        }
      }
      return i + 1;
    }
    if (c == '-' && c2 == '-') {
      std::size_t p = i + 2;
      while (p < s_.size() && s_[p] != '\n') {
        if (s_[p] == '{') {
          p = tag_or_brace(p);
          if (failed_) return p;
        } else {
          ++p;
        }
      }
      *kind = LC;
      return p;
    }
    if (c == '/' && c2 == '*') {
      std::size_t p = i + 2;
      while (p < s_.size()) {
        if (s_[p] == '{') {
          p = closed_tag_or_brace(p);
          if (p == kUnclosed) return i + 1;
        } else if (s_[p] == '*' && at(p + 1) == '/') {
          *kind = BC;
          return p + 2;
        } else {
          ++p;
        }
      }
      return i + 1;
    }
    if (c == '_' || (c >= 0 && c < 0x80 && unicode::is_alphabetic(static_cast<char32_t>(c))) ||
        (c >= 0x80 && is_alpha(ch))) {
      std::size_t p = i + ch.len;
      while (p < s_.size()) {
        const Char n = decode(s_, p);
        if (!(is_tag_char(n) || n.cp == '$')) break;
        p += n.len;
      }
      *kind = W;
      return p;
    }
    if (digit(i) || (c == '.' && digit(i + 1))) {
      std::size_t p = i;
      while (digit(p) || at(p) == '.') ++p;
      if (at(p) == 'e' || at(p) == 'E') {
        std::size_t q = p + 1;
        if (at(q) == '+' || at(q) == '-') ++q;
        if (digit(q)) {
          while (digit(q)) ++q;
          p = q;
        }
      }
      *kind = N;
      return p;
    }
    static const std::string_view singles = "()[],;";
    static const TokenKind kinds[] = {TokenKind::LParen, TokenKind::RParen, TokenKind::LBracket,
                                      TokenKind::RBracket, TokenKind::Comma, TokenKind::Semicolon};
    if (const auto k = singles.find(static_cast<char>(c)); c < 0x80 && k != std::string_view::npos) {
      *kind = kinds[k];
      return i + 1;
    }
    return i + ch.len;
  }

  // End of a quoted token, or 0 when it does not close.
  std::size_t quoted(std::size_t i) {
    const char q = s_[i];
    std::size_t p = i + 1;
    while (true) {
      if (at(p) == '{') {
        p = closed_tag_or_brace(p);
        if (p == kUnclosed) return 0;
        continue;
      }
      const std::size_t run = p;
      while (p < s_.size() && s_[p] != q && s_[p] != '{' && !(q == '\'' && s_[p] == '\\')) ++p;
      if (p > run) continue;
      if (q == '\'' && at(p) == '\\' && p + 1 < s_.size()) {
        p += at(p + 1) == '{' ? 1 : 1 + decode(s_, p + 1).len;
        continue;
      }
      if (at(p) == q && at(p + 1) == q) {
        p += 2;
        continue;
      }
      break;
    }
    return at(p) == q ? p + 1 : 0;
  }

  // Inside a quote or a block comment a tag that never closes leaves the
  // construct unclosed, and the tag is met again when lexing goes on.
  static constexpr std::size_t kUnclosed = std::string_view::npos;
  std::size_t closed_tag_or_brace(std::size_t p) {
    TagMatch m = tag(p);
    if (m.outcome == TagMatch::Outcome::Success) return p + m.length;
    if (m.outcome == TagMatch::Outcome::NoMatch) return p + 1;
    return kUnclosed;
  }

  std::size_t tag_or_brace(std::size_t p) {
    TagMatch m = tag(p);
    if (m.outcome == TagMatch::Outcome::Success) return p + m.length;
    if (m.outcome == TagMatch::Outcome::NoMatch) return p + 1;
    return fail(p, m.message);
  }

  TagMatch tag(std::size_t i) {
    TagMatch m;
    const std::string_view rest = s_.substr(i);
    auto ok = [&](std::size_t len, TokenKind k) {
      m.outcome = TagMatch::Outcome::Success;
      m.length = len;
      m.kind = k;
      return m;
    };
    auto bad = [&](std::string_view msg) {
      m.outcome = TagMatch::Outcome::Failure;
      m.message = msg;
      return m;
    };
    if (rest.starts_with("{{")) {
      const auto len = expression_tag(rest, "}}");
      return len ? ok(*len, JE) : bad("unterminated `{{` tag");
    }
    if (rest.starts_with("{#")) {
      const auto hit = rest.find("#}", 2);
      return hit != std::string_view::npos ? ok(hit + 2, JC) : bad("unterminated `{#` comment");
    }
    if (!rest.starts_with("{%")) return m;
    const auto len = expression_tag(rest, "%}");
    if (!len) return bad("unterminated `{%` tag");
    if (tag_name(rest.substr(0, *len)) != "raw") return ok(*len, JS);
    for (std::size_t p = *len;;) {
      const auto end = expression_tag(rest.substr(p), "%}");
      if (end && tag_name(rest.substr(p, *end)) == "endraw") return ok(p + *end, JR);
      if (p >= rest.size()) return bad("unterminated `{% raw %}` block");
      if (rest[p] == '{') {
        ++p;
      } else {
        while (p < rest.size() && rest[p] != '{') ++p;
      }
    }
  }

  std::size_t fail(std::size_t pos, std::string_view message) {
    if (!failed_) failed_ = true, error_at_ = pos, message_ = message;
    return pos + 1;
  }

  std::string_view s_;
  bool failed_ = false;
  std::size_t error_at_ = 0;
  std::string_view message_;
};

void expect_lossless(const std::string& input, const LexResult& result) {
  if (const auto* error = std::get_if<LexError>(&result)) {
    ASSERT_LT(error->offset, input.size());
    EXPECT_EQ(input[error->offset], '{');
    return;
  }
  std::string joined;
  for (const auto& t : std::get<std::vector<cst::Token>>(result)) {
    EXPECT_FALSE(t.text().empty());
    joined += t.text();
  }
  EXPECT_EQ(joined, input);
}

// Fragments, arbitrary bytes (invalid UTF-8 included), and raw blocks whose
// bodies are dense in endraw tags and in what their scans react to, at times
// inside a string.
TEST(Lex, RandomInputsRoundTripAndMatchTheRules) {
  const std::vector<std::string_view> fragments = {
      "select", " ", "\n", "\r\n", "\t", "a", "x1", "e", "1", "2.5", ".", "1e", "+", "-", "--",
      "/*", "*/", "*", "/", "'", "''", "\\", "\\'", "\"", "`", "$", "$$", "$a$", "$1$", "$b",
      "(", ")", "[", "]", ",", ";", "{", "}", "{{ x }}", "{{ '}}' }}", "{{ (", ")", "}}",
      "{% if a %}", "{% endif %}", "{%- raw -%}", "{% endraw %}", "{% endraw (", "%}",
      "{# c #}", "{#", "#}", "{{ '$$' }}", "{# $a$ #}", "\xC3\xA9", "\xC2\xA0", "\xC2\xA7", "\xD9\xA0", "\xFF",
  };
  const std::string_view bytes = "{}%#'\"`$-/*\\ \na1e.(\xC3\xA9\x80\xE2\xF0\xFF";
  const std::vector<std::string_view> raw_pieces = {
      "{% endraw", "{% endraw (", "{%- endraw", "{% endraw %}", "{%endraw%}", "{% endraw '",
      "{% endraw \"", "(", ")", "[", "]", "{", "}", "'", "\"", "\\", "%}", "%", " ", "x",
      "\n", "{% raw %}", "{%- raw -%}", "{%", "{{", "}}", "--", "/*", "*/",
  };
  std::mt19937 rng(20240611);
  const auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  // The raw block is closed by an endraw tag other than the body's first.
  const auto first_endraw_stays_open = [](std::string_view input) {
    for (std::size_t p = input.find('{', 9); p != std::string_view::npos; p = input.find('{', p + 1)) {
      if (tag_name(input.substr(p)) == "endraw") return !expression_tag(input.substr(p), "%}");
    }
    return false;
  };
  int fragment_errors = 0, closed_later = 0, unterminated = 0;
  for (int round = 0; round < 12000; ++round) {
    std::string input;
    if (round % 3 == 0) {
      for (std::size_t k = 1 + below(24); k > 0; --k) input += fragments[below(fragments.size())];
    } else if (round % 3 == 1) {
      for (std::size_t k = below(41); k > 0; --k) input += bytes[below(bytes.size())];
    } else {
      input = "{% raw %}";
      for (std::size_t k = round % 20 == 2 ? 300 : 1 + below(50); k > 0; --k) input += raw_pieces[below(raw_pieces.size())];
      const TagMatch block = jinja_tag(input);
      closed_later += block.outcome == TagMatch::Outcome::Success && first_endraw_stays_open(input);
      unterminated += block.outcome == TagMatch::Outcome::Failure;
      if (round % 4 == 1) input = "'" + input;
    }
    SCOPED_TRACE(input);
    const LexResult result = lex(input);
    expect_lossless(input, result);
    ASSERT_EQ(describe(result), ReferenceLexer(input).run());
    if (round % 3 == 0) fragment_errors += std::holds_alternative<LexError>(result);
  }
  // The hard outcomes must be common for the comparison to mean much.
  EXPECT_GT(fragment_errors, 400);
  EXPECT_LT(fragment_errors, 3600);
  EXPECT_GT(closed_later, 1000);
  EXPECT_GT(unterminated, 500);
}

// Runs of word and space bytes are measured sixteen bytes at a time: every
// run length around one and two blocks, ended by each kind of byte that can
// stop it (non-ASCII ones included) or by the end of input.
TEST(Lex, RunsEndExactlyAcrossBlockBoundaries) {
  const std::vector<std::pair<std::string_view, std::string_view>> runs = {
      {"a", ""}, {"_", "a"}, {"9", "x"}, {"$", "b"}, {" ", ""}, {"\t", "x"}, {"y", "'\xC3\xA9"},
  };
  const std::vector<std::string_view> enders = {
      "", " ", "a", "$", "(", "'", "{", "-", "\xC3\xA9", "\xC2\xA0", "\xC2\xA7", "\xD9\xA0", "\xE2\x80", "\xFF",
  };
  for (const auto& [piece, prefix] : runs) {
    for (std::size_t length = 1; length <= 35; ++length) {
      for (const auto ender : enders) {
        const std::string input = std::string(prefix) + repeat(piece, length) + std::string(ender);
        SCOPED_TRACE(input);
        ASSERT_EQ(describe(lex(input)), ReferenceLexer(input).run());
      }
    }
  }
}

// Inputs that make naive fallbacks rescan the tail again and again; the
// memos that keep them linear must not change a single token.
TEST(Lex, RepeatedFallbacksMatchTheRules) {
  std::string numbered_dollars, closers_in_a_tag = "{{ '";
  for (int i = 0; i < 300; ++i) {
    numbered_dollars += "$a" + std::to_string(i) + "$ ";
    closers_in_a_tag += "$a" + std::to_string(i) + "$";
  }
  closers_in_a_tag += "' }}";
  const std::vector<std::string> inputs = {
      repeat("'\\", 400) + "x", repeat("'\\'", 400), "'" + repeat("\\'", 400), repeat("\"a\"\"", 300),
      repeat("/* ", 400), repeat("/* {{ '*/' }} ", 200), repeat("' {{ \"'\" }} ", 200), numbered_dollars,
      numbered_dollars + "$a7$", repeat("$a$ ", 301), repeat("$$ $x$ ", 201), numbered_dollars + closers_in_a_tag,
      "$a$" + repeat("{{ '$a$' }}{# $a$ #}", 200) + "$a$", repeat("$a$ {{ '$a$' }}", 201), "{% raw %}" + repeat("{ {% {%", 300),
      "{% raw %}" + repeat("{% endraw (", 200) + "%}", "{% raw %}" + repeat("{% endraw (", 200) + "{% endraw %})",
      repeat("`", 301) + "'" + repeat("/*'", 100),
  };
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.substr(0, 60));
    const LexResult result = lex(input);
    expect_lossless(input, result);
    EXPECT_EQ(describe(result), ReferenceLexer(input).run());
  }
}

}  // namespace
}  // namespace trelm::lexer
