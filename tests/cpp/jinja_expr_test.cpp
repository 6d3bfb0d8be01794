#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "jinja/expr_tokens.hpp"
#include "jinja/literal.hpp"
#include "jinja/literal_reader.hpp"
#include "jinja/render.hpp"

namespace trelm::jinja {
namespace {

Literal S(std::string s) { return Literal::str(std::move(s)); }
Literal I(std::int64_t v) { return Literal::integer(v); }
Literal F(double v) { return Literal::floating(v); }
Literal B(bool v) { return Literal::boolean(v); }
Literal N() { return Literal::none(); }
Literal L(Literal::List items) { return Literal::list(std::move(items)); }
Literal D(Literal::Dict pairs) { return Literal::dict(std::move(pairs)); }

// The variant index in front, so 1 and 1.0 never look alike in a message.
std::string show(const std::optional<Literal>& v) {
  if (!v) return "(no literal)";
  return std::to_string(v->value().index()) + ":" + render_literal(*v, '\'');
}

const char* kind_name(ExprTokenKind k) {
  switch (k) {
    case ExprTokenKind::ExprString: return "Str";
    case ExprTokenKind::ExprName: return "Name";
    case ExprTokenKind::ExprNumber: return "Num";
    case ExprTokenKind::ExprOpen: return "Open";
    case ExprTokenKind::ExprClose: return "Close";
    case ExprTokenKind::ExprComma: return "Comma";
    case ExprTokenKind::ExprColon: return "Colon";
    case ExprTokenKind::ExprAssign: return "Assign";
    case ExprTokenKind::ExprOther: return "Other";
  }
  return "?";
}

// «Name:a Other:== Name:b»; brackets show their `ch`, which must also be
// the token's text.
std::string token_dump(std::string_view text) {
  std::string out;
  for (const ExprToken& t : tokenize(text)) {
    if (!out.empty()) out += ' ';
    out += kind_name(t.kind);
    out += ':';
    if (t.is(ExprTokenKind::ExprOpen) || t.is(ExprTokenKind::ExprClose)) {
      out += t.ch;
      if (t.text_in(text) != std::string_view(&t.ch, 1)) out += "(text differs)";
    } else {
      out += t.text_in(text);
    }
  }
  return out;
}

TEST(Tokenize, CutsTextIntoShapes) {
  struct Case {
    std::string text;
    std::string tokens;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {" \t\r\n ", ""},
      {"a==b", "Name:a Other:== Name:b"},
      {"x = 1", "Name:x Assign:= Num:1"},
      {"a===b", "Name:a Other:== Assign:= Name:b"},
      {"foo.bar(1)", "Name:foo Other:. Name:bar Open:( Num:1 Close:)"},
      {"1_000", "Num:1 Name:_000"},
      {"1.5 1e5 0x1F 1.2.3 9a", "Num:1.5 Num:1e5 Num:0x1F Num:1.2.3 Num:9a"},
      {"2.5e-3", "Num:2.5e Other:- Num:3"},
      {"_x9 A b_1", "Name:_x9 Name:A Name:b_1"},
      {"[{(,:)}]", "Open:[ Open:{ Open:( Comma:, Colon:: Close:) Close:} Close:]"},
      {"!= <= >= == ! < > =", "Other:!= Other:<= Other:>= Other:== Other:! Other:< Other:> Assign:="},
      {"|~-+*%.", "Other:| Other:~ Other:- Other:+ Other:* Other:% Other:."},
      {"'a' \"b\"", "Str:'a' Str:\"b\""},
      {"'a\\'b' x", "Str:'a\\'b' Name:x"},
      {"\"it's\"", "Str:\"it's\""},
      {"'a\\\\' b", "Str:'a\\\\' Name:b"},
      {"'ab\\'", "Str:'ab\\'"},
      {"'unterminated }}", "Str:'unterminated }}"},
      {"\"a'", "Str:\"a'"},
      {"é€😀", "Other:é Other:€ Other:😀"},
      {"\v\f\x01", "Other:\v Other:\f Other:\x01"},
      {"a\xC2\xA0" "b", "Name:a Other:\xC2\xA0 Name:b"},
      {"{{ config(a=1) }}", "Open:{ Open:{ Name:config Open:( Name:a Assign:= Num:1 Close:) Close:} Close:}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(token_dump(c.text), c.tokens) << "«" << c.text << "»";
  }
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Over random text: tokens are ordered, non-empty, start on character
// boundaries, and only the four blank characters lie between them.
TEST(Tokenize, CoversEveryNonBlankCharacterOnce) {
  const std::vector<std::string> pieces = {"a", "Z", "_", "7", ".", "'", "\"", "\\", "(", ")", "[", "]", "{", "}",
                                           ",", ":", "=", "!", "<", ">", "-", " ", "\t", "\n", "\r", "é", "€",
                                           "😀", "\v", "\x01", "e"};
  std::mt19937 rng(20240611);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    std::size_t length = rng() % 24;
    for (std::size_t i = 0; i < length; ++i) text += pieces[rng() % pieces.size()];
    std::size_t pos = 0;
    for (const ExprToken& t : tokenize(text)) {
      ASSERT_LT(t.start, t.end) << "«" << text << "»";
      ASSERT_LE(t.end, text.size()) << "«" << text << "»";
      ASSERT_GE(t.start, pos) << "«" << text << "»";
      for (std::size_t k = pos; k < t.start; ++k) ASSERT_TRUE(is_blank(text[k])) << "«" << text << "» at " << k;
      ASSERT_FALSE(is_continuation(static_cast<unsigned char>(text[t.start]))) << "«" << text << "»";
      if (t.end < text.size()) {
        ASSERT_FALSE(is_continuation(static_cast<unsigned char>(text[t.end]))) << "«" << text << "»";
      }
      pos = t.end;
    }
    for (std::size_t k = pos; k < text.size(); ++k) ASSERT_TRUE(is_blank(text[k])) << "«" << text << "»";
  }
}

// Any bytes at all, broken UTF-8 included: tokens stay inside the text, in
// order, and never empty.
TEST(Tokenize, StaysInsideArbitraryBytes) {
  std::mt19937 rng(77);
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 12, '\0');
    for (char& c : text) c = static_cast<char>(rng() % 4 == 0 ? 0x80 + rng() % 0x80 : rng() % 0x80);
    std::size_t pos = 0;
    for (const ExprToken& t : tokenize(text)) {
      ASSERT_TRUE(pos <= t.start && t.start < t.end && t.end <= text.size()) << round;
      pos = t.end;
    }
  }
}

TEST(ParseLiteral, ReadsExactlyOneLiteral) {
  struct Case {
    std::string text;
    std::optional<Literal> expected;
  };
  const double two63 = 9223372036854775808.0;
  const std::vector<Case> cases = {
      // strings and their escapes
      {"'it\\'s'", S("it's")},
      {"'a\\qb'", S("a\\qb")},
      {"'a\\nb\\tc\\rd'", S("a\nb\tc\rd")},
      {"\"a\\\"b\\\\c\\'d\"", S("a\"b\\c'd")},
      {"'ab\\'", S("ab\\")},
      {"''", S("")},
      {"\"it's\"", S("it's")},
      {"'é\\u00e9'", S("é\\u00e9")},
      {"'abc", std::nullopt},
      {"'", std::nullopt},
      {"\"a'", std::nullopt},
      {"'a' 'b'", std::nullopt},
      // names
      {"none", N()},
      {"None", N()},
      {"true", B(true)},
      {"True", B(true)},
      {"false", B(false)},
      {"False", B(false)},
      {"NONE", std::nullopt},
      {"TRUE", std::nullopt},
      {"NULL", std::nullopt},
      {"x", std::nullopt},
      // numbers
      {"42", I(42)},
      {"0", I(0)},
      {"9223372036854775807", I(std::numeric_limits<std::int64_t>::max())},
      {"9223372036854775808", F(two63)},
      {"-9223372036854775808", F(-two63)},
      {"99999999999999999999", F(1e20)},
      {"1.0", F(1.0)},
      {"1.5", F(1.5)},
      {"1e5", F(1e5)},
      {"1E5", F(1e5)},
      {"1.5e3", F(1500.0)},
      {"007", I(7)},
      {"1.5f", std::nullopt},
      {"12abc", std::nullopt},
      {"1e5x", std::nullopt},
      {"0x1F", std::nullopt},
      {"1.2.3", std::nullopt},
      {"1e", std::nullopt},
      {"1_000", std::nullopt},
      {"2.5e-3", std::nullopt},
      {".5", std::nullopt},
      // unary minus
      {"-1.5", F(-1.5)},
      {"-7", I(-7)},
      {"- 5", I(-5)},
      {"--5", I(5)},
      {"-x", std::nullopt},
      {"+1", std::nullopt},
      {"-'a'", std::nullopt},
      {"-[1]", std::nullopt},
      {"-", std::nullopt},
      // lists and dicts
      {"[]", L({})},
      {"()", L({})},
      {"[1, 2,]", L({I(1), I(2)})},
      {"(1)", L({I(1)})},
      {"(1, 'a', none)", L({I(1), S("a"), N()})},
      {"[1, [2, [3]]]", L({I(1), L({I(2), L({I(3)})})})},
      {"{}", D({})},
      {"{'a': [1, (2, 3)], 'b': {},}", D({{S("a"), L({I(1), L({I(2), I(3)})})}, {S("b"), D({})}})},
      {"{1: 2, 1: 3}", D({{I(1), I(2)}, {I(1), I(3)}})},
      {"{(1, 2): none, true: -1.5}", D({{L({I(1), I(2)}), N()}, {B(true), F(-1.5)}})},
      {"[1, 2", std::nullopt},
      {"[1 2]", std::nullopt},
      {"(1]", std::nullopt},
      {"[1,,2]", std::nullopt},
      {"[,]", std::nullopt},
      {"[1]]", std::nullopt},
      {"{'a' 1}", std::nullopt},
      {"{'a':}", std::nullopt},
      {"{'a': 1 'b': 2}", std::nullopt},
      {"{'a', 1}", std::nullopt},
      {"{'a': 1]", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
  };
  for (const Case& c : cases) {
    std::optional<Literal> got = parse_literal(c.text);
    EXPECT_EQ(got.has_value(), c.expected.has_value()) << "«" << c.text << "» gave " << show(got);
    if (got && c.expected) EXPECT_TRUE(*got == *c.expected) << "«" << c.text << "» gave " << show(got);
  }
}

TEST(ParseLiteral, IntegerAndDoubleAreDifferentValues) {
  EXPECT_FALSE(I(1) == F(1.0));
  EXPECT_FALSE(L({I(1)}) == L({F(1.0)}));
  EXPECT_FALSE(D({{S("a"), N()}}) == L({S("a"), N()}));
  EXPECT_TRUE(F(0.0) == F(-0.0));
  EXPECT_FALSE(F(std::numeric_limits<double>::quiet_NaN()) == F(std::numeric_limits<double>::quiet_NaN()));
}

TEST(LiteralAt, ReadsFromAGivenTokenAndAnswersTheNextIndex) {
  struct Case {
    std::string text;
    std::size_t index;
    std::optional<Literal> expected;
    std::size_t next;
  };
  const std::vector<Case> cases = {
      {"'a' 'b'", 0, S("a"), 1},
      {"'a' 'b'", 1, S("b"), 2},
      {"'a' 'b'", 2, std::nullopt, 0},
      {"'a' 'b'", 9, std::nullopt, 0},
      {"config(a=1, b=[1, 2]) x", 4, I(1), 5},
      {"config(a=1, b=[1, 2]) x", 8, L({I(1), I(2)}), 13},
      {"config(a=1, b=[1, 2]) x", 0, std::nullopt, 0},
      {"config(a=1, b=[1, 2]) x", 5, std::nullopt, 0},
      {"x - 5 y", 1, I(-5), 3},
      {"- - 5", 0, I(5), 3},
      {"{'k': (1,)} ]", 0, D({{S("k"), L({I(1)})}}), 8},
      {"[1, 2", 0, std::nullopt, 0},
      {"", 0, std::nullopt, 0},
  };
  for (const Case& c : cases) {
    std::vector<ExprToken> tokens = tokenize(c.text);
    auto got = literal_at(c.text, tokens, c.index);
    std::string where = "«" + c.text + "» at " + std::to_string(c.index);
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << where;
    if (!got) continue;
    EXPECT_TRUE(got->first == *c.expected) << where << " gave " << show(got->first);
    EXPECT_EQ(got->second, c.next) << where;
  }
}

TEST(QuoteStyle, IsTheQuoteOfTheFirstString) {
  struct Case {
    std::string text;
    char quote;
  };
  const std::vector<Case> cases = {
      {"{{ config(a='x', b=\"y\") }}", '\''},
      {"{{ config(a=\"x\", b='y') }}", '"'},
      {"{{ config(a=1) }}", '"'},
      {"", '"'},
      {"'unterminated", '\''},
      {"x ~ \"a\"", '"'},
      {"[1, 'it\"s']", '\''},
  };
  for (const Case& c : cases) EXPECT_EQ(quote_style(c.text), c.quote) << "«" << c.text << "»";
}

}  // namespace
}  // namespace trelm::jinja
