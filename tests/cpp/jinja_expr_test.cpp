#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
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
Literal G(std::string digits) { return Literal::big_integer(std::move(digits)); }

// The variant index in front, so 1 and 1.0 never look alike in a message.
std::string show(const std::optional<Literal>& v) {
  return v ? std::to_string(v->value().index()) + ":" + render_literal(*v, '\'') : "(no literal)";
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
    if (!out.empty()) out += " ";
    (out += kind_name(t.kind)) += ":";
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
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" \t\r\n ", ""},
      {"a===b x = 1", "Name:a Other:== Assign:= Name:b Name:x Assign:= Num:1"},
      {"foo.bar(1)", "Name:foo Other:. Name:bar Open:( Num:1 Close:)"},
      {"1_000 _x9 A b_1 0b1_0 00", "Num:1_000 Name:_x9 Name:A Name:b_1 Num:0b1_0 Num:00"},
      {"1.5 1e5 0x1F 1.2.3 9a 007 1.", "Num:1.5 Num:1e5 Num:0x1F Num:1.2 Other:. Num:3 Num:9 Name:a Num:00 Num:7 Num:1 Other:."},
      {"2.5e-3 1_0.5E+1_0", "Num:2.5e-3 Num:1_0.5E+1_0"},
      {"[{(,:)}]", "Open:[ Open:{ Open:( Comma:, Colon:: Close:) Close:} Close:]"},
      {"!= <= >= == ! < > =", "Other:!= Other:<= Other:>= Other:== Other:! Other:< Other:> Assign:="},
      {"|~-+*%.", "Other:| Other:~ Other:- Other:+ Other:* Other:% Other:."},
      {"'a' \"b\" \"it's\"", "Str:'a' Str:\"b\" Str:\"it's\""},
      {"'a\\'b' x 'a\\\\' b", "Str:'a\\'b' Name:x Str:'a\\\\' Name:b"},
      {"'ab\\' }}", "Str:'ab\\' }}"},
      {"é€😀 a·b x² ℘", "Name:é Other:€ Other:😀 Name:a·b Name:x² Name:℘"},
      {"\v\f\x01", "Other:\x01"},
      {"a\xC2\xA0" "b", "Name:a Name:b"},
  };
  for (const auto& [text, tokens] : cases) EXPECT_EQ(token_dump(text), tokens) << "«" << text << "»";
}

TEST(ParseLiteral, ReadsExactlyOneLiteral) {
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  const std::vector<std::pair<std::string, std::optional<Literal>>> cases = {
      // strings, decoded as the engine decodes them; adjacent ones join
      {"'it\\'s'", S("it's")}, {"'a\\qb'", S("a\\qb")}, {"'a\\nb\\tc\\rd'", S("a\nb\tc\rd")},
      {"\"a\\\"b\\\\c\\'d\"", S("a\"b\\c'd")}, {"'\\x61\\u00e9\\U0001F600\\101\\7777'", S("aé😀A\u01FF7")},
      {"'a\\\r\nb\r\nc\rd'", S("ab\nc\nd")}, {"'\\é'", S("\\xe9")}, {"'\\😀'", S("\\U0001f600")},
      {"'\\N{BULLET}'", std::nullopt}, {"'\\ud800'", std::nullopt}, {"'\\x4'", std::nullopt},
      {"'ab\\'", std::nullopt}, {"'abc", std::nullopt}, {"'", std::nullopt}, {"'a' \"b\"", S("ab")},
      // names
      {"[none, None, true, True, false, False]", L({N(), N(), B(true), B(true), B(false), B(false)})},
      {"TRUE", std::nullopt}, {"x", std::nullopt},
      // numbers: integers exactly (past 64 bits as digits), floats as Python rounds them
      {"007", std::nullopt}, {"9223372036854775807", I(std::numeric_limits<std::int64_t>::max())},
      {"9223372036854775808", G("9223372036854775808")}, {"-9223372036854775808", I(kMin)},
      {"--9223372036854775808", G("9223372036854775808")}, {"-0x8000000000000000", I(kMin)},
      {"0xFFFFFFFFFFFFFFFF", G("18446744073709551615")}, {"-0X1_0000000000000000", G("-0x10000000000000000")},
      {"0b1_01", I(5)}, {"0o17", I(15)}, {"1_000", I(1000)}, {"-00", I(0)},
      {"1.0", F(1.0)}, {"1e5", F(1e5)}, {"0." + std::string(400, '0') + "1", F(0.0)},
      {"1e400", F(std::numeric_limits<double>::infinity())}, {"12abc", std::nullopt}, {"1.", std::nullopt},
      // unary minus, on numbers only
      {"-1.5", F(-1.5)}, {"-7", I(-7)}, {"--5", I(5)},
      {"-[1]", std::nullopt}, {"+1", I(1)}, {"-", std::nullopt}, {"-True", std::nullopt}, {"-(2)", I(-2)},
      // lists (tuples too) and dicts, which keep repeated keys
      {"[]", L({})}, {"()", L({})}, {"(1)", I(1)}, {"((('v')))", S("v")}, {"(1,)", L({I(1)})}, {"[1, 2,]", L({I(1), I(2)})}, {"{}", D({})},
      {"{'a': [1, (2, 3)], 'b': {}, 1: 2, 1: 3, (1, 2): none, true: -1.5,}",
       D({{S("a"), L({I(1), L({I(2), I(3)})})}, {S("b"), D({})}, {I(1), I(2)}, {I(1), I(3)},
          {L({I(1), I(2)}), N()}, {B(true), F(-1.5)}})},
      {"[1, 2", std::nullopt}, {"[1 2]", std::nullopt}, {"(1]", std::nullopt}, {"[1,,2]", std::nullopt},
      {"[1]]", std::nullopt}, {"{'a' 1}", std::nullopt}, {"{'a':}", std::nullopt}, {"", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    std::optional<Literal> got = parse_literal(text);
    EXPECT_EQ(got.has_value(), expected.has_value()) << "«" << text << "» gave " << show(got);
    if (got && expected) {
      EXPECT_TRUE(*got == *expected) << "«" << text << "» gave " << show(got);
    }
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
  const std::string call = "config(a=1, b=[1, 2]) x";
  const std::vector<std::tuple<std::string, std::size_t, std::optional<Literal>, std::size_t>> cases = {
      {"'a' 'b' x", 0, S("ab"), 2}, {"'a' 'b'", 1, S("b"), 2}, {"'a' 'b'", 2, std::nullopt, 0},
      {call, 4, I(1), 5}, {call, 8, L({I(1), I(2)}), 13}, {call, 0, std::nullopt, 0},
      {"x - 5 y", 1, I(-5), 3}, {"{'k': (1,)} ]", 0, D({{S("k"), L({I(1)})}}), 8}, {"[1, 2", 0, std::nullopt, 0},
  };
  for (const auto& [text, index, expected, next] : cases) {
    auto got = literal_at(text, tokenize(text), index);
    const std::string where = "«" + text + "» at " + std::to_string(index);
    ASSERT_EQ(got.has_value(), expected.has_value()) << where;
    if (!got) continue;
    EXPECT_TRUE(got->first == *expected) << where << " gave " << show(got->first);
    EXPECT_EQ(got->second, next) << where;
  }
}

TEST(DecodeString, LooksNamesUpOnlyThroughTheGivenTable) {
  const CharacterNames names = [](std::string_view name) -> std::optional<char32_t> {
    if (name == "BULLET") return U'\u2022';
    return std::nullopt;
  };
  EXPECT_EQ(decode_string("a\\N{BULLET}b", &names), "a\u2022b");
  EXPECT_EQ(decode_string("\\N{NOPE}", &names), std::nullopt);
  EXPECT_EQ(decode_string("\\N{BULLET}", nullptr), std::nullopt);
  EXPECT_EQ(parse_literal("['\\N{BULLET}']", &names), L({S("\u2022")}));
}

TEST(QuoteStyle, IsTheQuoteOfTheFirstString) {
  const std::vector<std::pair<std::string, char>> cases = {
      {"{{ config(a='x', b=\"y\") }}", '\''}, {"{{ config(a=\"x\", b='y') }}", '"'}, {"{{ config(a=1) }}", '"'},
      {"'unterminated", '\''}, {"[1, 'it\"s']", '\''},
  };
  for (const auto& [text, quote] : cases) EXPECT_EQ(quote_style(text), quote) << "«" << text << "»";
}

}  // namespace
}  // namespace trelm::jinja
