#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "jinja/call.hpp"
#include "jinja/kwarg_edit.hpp"
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

constexpr std::int64_t kMinInt = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxInt = std::numeric_limits<std::int64_t>::max();

std::string repeat(std::string_view piece, std::size_t n) {
  std::string out;
  out.reserve(piece.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += piece;
  return out;
}

TEST(RenderLiteral, WritesJinjaSource) {
  struct Case {
    Literal value;
    char quote;
    std::string text;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const std::string dbl_max =
      "17976931348623157081452742373170435679807056752584499659891747680315726078002853876058955863276687817154045895"
      "35143824642343213268894641827684675467035375169860499105765512820762454900903893289440758685084551339423045832"
      "36903222948165808559332123348274797826204144723168738177180919299881250404026184124858368.0";
  const std::vector<Case> cases = {
      // strings
      {S("it's"), '\'', "'it\\'s'"},
      {S("it's"), '"', "\"it's\""},
      {S("say \"hi\""), '"', "\"say \\\"hi\\\"\""},
      {S("say \"hi\""), '\'', "'say \"hi\"'"},
      {S("a\tb\nc\rd\\e"), '\'', "'a\\tb\\nc\\rd\\\\e'"},
      {S("\\n"), '"', "\"\\\\n\""},
      {S(""), '\'', "''"},
      {S("é€😀 \x01\x7f{}"), '"', "\"é€😀 \x01\x7f{}\""},
      // integers
      {I(0), '"', "0"},
      {I(-5), '"', "-5"},
      {I(kMaxInt), '"', "9223372036854775807"},
      {I(kMinInt), '"', "-9223372036854775808"},
      // doubles without a fractional part: exact digits and ".0"
      {F(3.0), '"', "3.0"},
      {F(-2.0), '"', "-2.0"},
      {F(0.0), '"', "0.0"},
      {F(-0.0), '"', "-0.0"},
      {F(1e16), '"', "10000000000000000.0"},
      {F(1e20), '"', "100000000000000000000.0"},
      {F(1e23), '"', "99999999999999991611392.0"},
      {F(9007199254740992.0), '"', "9007199254740992.0"},
      {F(std::numeric_limits<double>::max()), '"', dbl_max},
      // other finite doubles: shortest round-trip text, never an exponent
      {F(0.1), '"', "0.1"},
      {F(2.5), '"', "2.5"},
      {F(-0.5), '"', "-0.5"},
      {F(1e-7), '"', "0.0000001"},
      {F(123.456), '"', "123.456"},
      {F(0.1 + 0.2), '"', "0.30000000000000004"},
      {F(1000000000000000.5), '"', "1000000000000000.5"},
      {F(1.0 / 3.0), '"', "0.3333333333333333"},
      {F(std::numeric_limits<double>::denorm_min()), '"', "0." + std::string(323, '0') + "5"},
      {F(2.2250738585072014e-308), '"', "0." + std::string(307, '0') + "22250738585072014"},
      // not finite
      {F(inf), '"', "inf"},
      {F(-inf), '"', "-inf"},
      {F(std::numeric_limits<double>::quiet_NaN()), '"', "NaN"},
      // constants and containers
      {B(true), '"', "True"},
      {B(false), '"', "False"},
      {N(), '"', "None"},
      {L({}), '"', "[]"},
      {D({}), '\'', "{}"},
      {L({I(1), F(2.0), N(), L({B(true)})}), '\'', "[1, 2.0, None, [True]]"},
      {L({I(1), F(2.0), N(), L({B(true)})}), '"', "[1, 2.0, None, [True]]"},
      {D({{S("a"), L({S("b")})}, {I(1), D({})}}), '\'', "{'a': ['b'], 1: {}}"},
      {D({{S("a"), L({S("b")})}, {I(1), D({})}}), '"', "{\"a\": [\"b\"], 1: {}}"},
      {D({{L({I(1), I(2)}), N()}, {S("a"), S("x")}, {S("a"), S("y")}}), '\'', "{[1, 2]: None, 'a': 'x', 'a': 'y'}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(render_literal(c.value, c.quote), c.text);
  }
}

// What parse_literal gives back for `v`: identical, except that the most
// negative integer has no unsigned digits in 64 bits and reads as a double.
Literal read_back_form(const Literal& v) {
  if (v.holds<Literal::Int>() && v.as<Literal::Int>() == kMinInt) return F(static_cast<double>(kMinInt));
  if (v.holds<Literal::List>()) {
    Literal::List items;
    for (const Literal& item : v.as<Literal::List>()) items.push_back(read_back_form(item));
    return L(std::move(items));
  }
  if (v.holds<Literal::Dict>()) {
    Literal::Dict pairs;
    for (const auto& [key, value] : v.as<Literal::Dict>()) pairs.emplace_back(read_back_form(key), read_back_form(value));
    return D(std::move(pairs));
  }
  return v;
}

class LiteralGenerator {
 public:
  explicit LiteralGenerator(std::uint32_t seed) : rng_(seed) {}

  Literal any(int depth) {
    switch (pick(depth > 0 ? 7 : 5)) {
      case 0: return S(text());
      case 1: return I(integer());
      case 2: return F(finite_double());
      case 3: return B(pick(2) == 1);
      case 4: return N();
      case 5: {
        Literal::List items;
        for (std::size_t n = pick(5); n > 0; --n) items.push_back(any(depth - 1));
        return L(std::move(items));
      }
      default: {
        Literal::Dict pairs;
        for (std::size_t n = pick(4); n > 0; --n) {
          Literal key = any(depth - 1);
          pairs.emplace_back(std::move(key), any(depth - 1));
        }
        return D(std::move(pairs));
      }
    }
  }

 private:
  std::size_t pick(std::size_t n) { return rng_() % n; }

  std::string text() {
    static const std::vector<std::string> pieces = {"a", "Z", " ", "'", "\"", "\\", "\n", "\t", "\r", "\x01", "\x7f",
                                                    "é", "€", "😀", "{", "}}", "%", "#", "n", "t", "\\n", "0",
                                                    std::string(1, '\0')};
    std::string s;
    for (std::size_t n = pick(8); n > 0; --n) s += pieces[pick(pieces.size())];
    return s;
  }

  std::int64_t integer() {
    switch (pick(5)) {
      case 0: return kMinInt;
      case 1: return kMaxInt;
      case 2: return static_cast<std::int64_t>(pick(2001)) - 1000;
      default: return static_cast<std::int64_t>((static_cast<std::uint64_t>(rng_()) << 32) | rng_());
    }
  }

  double finite_double() {
    switch (pick(6)) {
      case 0: return -0.0;
      case 1: return static_cast<double>(static_cast<std::int64_t>(pick(20001)) - 10000);
      case 2: return (static_cast<double>(pick(1000000)) - 500000.0) / 1024.0;
      case 3: return static_cast<double>(pick(1000)) * std::pow(10.0, static_cast<double>(pick(40)) - 20.0);
      default: {
        for (;;) {
          std::uint64_t bits = (static_cast<std::uint64_t>(rng_()) << 32) | rng_();
          double d;
          std::memcpy(&d, &bits, sizeof d);
          if (std::isfinite(d)) return d;
        }
      }
    }
  }

  std::mt19937 rng_;
};

TEST(RenderLiteral, ReadsBackAsTheSameValue) {
  LiteralGenerator gen(7331);
  for (int round = 0; round < 3000; ++round) {
    Literal value = gen.any(3);
    Literal expected = read_back_form(value);
    for (char quote : {'\'', '"'}) {
      std::string text = render_literal(value, quote);
      std::optional<Literal> back = parse_literal(text);
      ASSERT_TRUE(back) << "«" << text << "» does not read back";
      ASSERT_TRUE(*back == expected) << "«" << text << "» reads back as «" << render_literal(*back, quote) << "»";
    }
  }
}

// A million-level document is possible; 100,000 levels is enough to show
// that reading, printing, copying, comparing and freeing do not recurse.
TEST(Literal, DeepNestingCostsNoStack) {
  const std::size_t depth = 100000;
  const std::vector<std::string> texts = {
      repeat("[", depth) + repeat("]", depth),
      repeat("{1: ", depth) + "None" + repeat("}", depth),
      repeat("(", depth) + "'x'" + repeat(")", depth),
  };
  const std::vector<std::string> rendered = {
      texts[0],
      texts[1],
      repeat("[", depth) + "'x'" + repeat("]", depth),
  };
  for (std::size_t i = 0; i < texts.size(); ++i) {
    std::optional<Literal> value = parse_literal(texts[i]);
    ASSERT_TRUE(value) << "row " << i;
    EXPECT_TRUE(render_literal(*value, '\'') == rendered[i]) << "row " << i;
    {
      Literal copy = *value;
      EXPECT_TRUE(copy == *value) << "row " << i;
      Literal assigned = S("x");
      assigned = copy;
      EXPECT_TRUE(assigned == *value) << "row " << i;
      Literal moved = std::move(copy);
      EXPECT_TRUE(moved == *value) << "row " << i;
      moved = N();
      EXPECT_FALSE(moved == *value) << "row " << i;
    }
    std::optional<Literal> other = parse_literal(repeat("[", depth) + "1" + repeat("]", depth));
    ASSERT_TRUE(other);
    EXPECT_FALSE(*other == *value) << "row " << i;
  }
}

// The config call in `text` (a tag or a bare call).
Call call_in(std::string_view text) {
  std::vector<Call> calls = find_calls(text, "config");
  if (calls.size() != 1) {
    ADD_FAILURE() << "expected one config call in «" << text << "»";
    return Call{};
  }
  return calls[0];
}

TEST(SetKwarg, ReplacesOrAppendsInTheLayoutOfTheCall) {
  struct Case {
    std::string text;
    std::string key;
    std::string source;
    std::string expected;
  };
  const std::vector<Case> cases = {
      // replacing changes the value span only
      {"{{ config(style='view') }}", "style", "'table'", "{{ config(style='table') }}"},
      {"config(a = f(1, 2) , b=1)", "a", "3", "config(a = 3 , b=1)"},
      {"config(a=1, a=2)", "a", "9", "config(a=9, a=2)"},
      {"config(\n  a=1,\n  b=2\n)", "a", "[\n  1]", "config(\n  a=[\n  1],\n  b=2\n)"},
      // empty calls: whatever stood between the brackets goes
      {"{{ config() }}", "key", "1", "{{ config(key=1) }}"},
      {"{{ config( ) }}", "key", "1", "{{ config(key=1) }}"},
      {"{{ config(\n) }}", "key", "1", "{{ config(key=1) }}"},
      // single line
      {"config(a=1)", "key", "2", "config(a=1, key=2)"},
      {"config(a=1,)", "key", "2", "config(a=1, key=2,)"},
      {"config(a=1 , )", "key", "2", "config(a=1 , key=2, )"},
      {"config(a=1  )", "key", "2", "config(a=1, key=2  )"},
      {"{{ config(a=1) | default(x) }}", "b", "2", "{{ config(a=1, b=2) | default(x) }}"},
      // the separator is the first keyword argument's, "=" without one
      {"{{ config(style = 'view') }}", "tags", "['a']", "{{ config(style = 'view', tags = ['a']) }}"},
      {"config('m', a =1, b= 2)", "c", "3", "config('m', a =1, b= 2, c =3)"},
      {"config('m')", "key", "3", "config('m', key=3)"},
      // one per line: the indentation from the last line feed before the first argument
      {"config(\n    a=1,\n)", "key", "2", "config(\n    a=1,\n    key=2,\n)"},
      {"config(\n    a=1\n)", "key", "2", "config(\n    a=1,\n    key=2\n)"},
      {"{{ config(\n    a='x',\n    b='y'\n) }}", "key", "'z'", "{{ config(\n    a='x',\n    b='y',\n    key='z'\n) }}"},
      {"config(\n\ta=1\n)", "b", "2", "config(\n\ta=1,\n\tb=2\n)"},
      {"config(\n\n  a=1\n)", "b", "2", "config(\n\n  a=1,\n  b=2\n)"},
      {"config( \n  a=1)", "b", "2", "config( \n  a=1,\n  b=2)"},
      {"config('m',\n  a=1)", "b", "2", "config('m',\n  a=1, b=2)"},
      // line ends written as "\r\n" stay "\r\n"
      {"{{ config(\r\n    a=1\r\n) }}", "b", "2", "{{ config(\r\n    a=1,\r\n    b=2\r\n) }}"},
      {"config(\r\n  a=1,\r\n)", "b", "2", "config(\r\n  a=1,\r\n  b=2,\r\n)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(set_kwarg(c.text, call_in(c.text), c.key, c.source), c.expected)
        << "«" << c.text << "» set " << c.key;
  }
}

TEST(RemoveKwarg, CutsOneArgumentAndItsSeparator) {
  struct Case {
    std::string text;
    std::string key;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"config(a=1, b=2)", "a", "config(b=2)"},
      {"config(a=1, b=2)", "b", "config(a=1)"},
      {"config(a=1, b=2, c=3)", "b", "config(a=1, c=3)"},
      {"config(a=1)", "a", "config()"},
      {"config(a=1,)", "a", "config()"},
      {"config(\n  a=1\n)", "a", "config()"},
      {"config(a=1, b=2,)", "b", "config(a=1,)"},
      {"config(a=1, a=2)", "a", "config(a=2)"},
      {"config('m', a=1)", "a", "config('m')"},
      {"{{ config(a=1, b=2) }}", "b", "{{ config(a=1) }}"},
      {"config(\n  a=1,\n  b=2\n)", "a", "config(\n  b=2\n)"},
      {"config(\n  a=1,\n  b=2,\n  c=3\n)", "b", "config(\n  a=1,\n  c=3\n)"},
      {"config(\n  a=1,\n  b=2\n)", "b", "config(\n  a=1\n)"},
      {"config(\n  a=1,\n  b=2,\n)", "b", "config(\n  a=1,\n)"},
      {"config(\r\n  a=1,\r\n  b=2\r\n)", "b", "config(\r\n  a=1\r\n)"},
      {"config(a=1, b=2)", "c", std::nullopt},
      {"config('a')", "a", std::nullopt},
      {"config(a == 1)", "a", std::nullopt},
      {"config()", "a", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(remove_kwarg(c.text, call_in(c.text), c.key), c.expected) << "«" << c.text << "» remove " << c.key;
  }
}

// An argument as the call reader sees it: keyword (empty when positional)
// and value text.
using ArgTexts = std::vector<std::pair<std::string, std::string>>;

std::optional<ArgTexts> config_args(std::string_view text, bool* trailing_comma) {
  std::vector<Call> calls = find_calls(text, "config");
  if (calls.size() != 1) return std::nullopt;
  ArgTexts out;
  for (const CallArg& a : calls[0].args) {
    out.emplace_back(a.name ? std::string(a.name->text_in(text)) : "", std::string(a.value.text_in(text)));
  }
  *trailing_comma = !calls[0].args.empty() && calls[0].args.back().comma.has_value();
  return out;
}

// Random calls in every layout: after each edit the call reads back with
// exactly the arguments expected, keeps its trailing comma (or lack of one),
// and keeps its line ends.
TEST(KwargEdit, EditedCallsReadBackAsExpected) {
  const std::vector<std::string> values = {"1", "'x, y'", "[1, 2]", "f(a, b)", "{'k': (1,)}", "none", "-2.5"};
  std::mt19937 rng(99);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  for (int round = 0; round < 2000; ++round) {
    const bool multi_line = pick(2) == 1;
    const std::string eol = pick(2) == 1 ? "\r\n" : "\n";
    const std::string indent = multi_line ? eol + (pick(2) == 1 ? "\t" : "    ") : "";
    const bool trailing = pick(2) == 1;
    ArgTexts args;
    for (std::size_t n = pick(5); n > 0; --n) {
      std::string key = pick(4) == 0 ? "" : "k" + std::to_string(pick(4));
      args.emplace_back(key, values[pick(values.size())]);
    }
    const std::string sep = pick(2) == 1 ? " = " : "=";
    std::string text = "{{ config(";
    for (std::size_t i = 0; i < args.size(); ++i) {
      text += multi_line ? indent : (i > 0 ? " " : "");
      if (!args[i].first.empty()) text += args[i].first + sep;
      text += args[i].second;
      if (i + 1 < args.size() || trailing) text += ",";
    }
    if (multi_line && !args.empty()) text += eol;
    text += ") }}";
    const bool has_trailing = trailing && !args.empty();

    const std::string key = "k" + std::to_string(pick(5));
    std::optional<Call> call = config_call(text);
    ASSERT_TRUE(call) << "«" << text << "»";

    ArgTexts after_set = args;
    auto found = std::find_if(after_set.begin(), after_set.end(), [&](const auto& a) { return a.first == key; });
    if (found != after_set.end()) {
      found->second = "new";
    } else {
      after_set.emplace_back(key, "new");
    }
    ArgTexts after_remove = args;
    auto removed = std::find_if(after_remove.begin(), after_remove.end(), [&](const auto& a) { return a.first == key; });
    const bool can_remove = removed != after_remove.end();
    if (can_remove) after_remove.erase(removed);

    std::string set_text = set_kwarg(text, *call, key, "new");
    bool set_trailing = false;
    EXPECT_EQ(config_args(set_text, &set_trailing), after_set) << "«" << text << "» set " << key << ": «" << set_text << "»";
    EXPECT_EQ(set_trailing, has_trailing) << "«" << text << "» set " << key << ": «" << set_text << "»";

    std::optional<std::string> remove_text = remove_kwarg(text, *call, key);
    ASSERT_EQ(remove_text.has_value(), can_remove) << "«" << text << "» remove " << key;
    if (remove_text) {
      bool remove_trailing = false;
      EXPECT_EQ(config_args(*remove_text, &remove_trailing), after_remove)
          << "«" << text << "» remove " << key << ": «" << *remove_text << "»";
      EXPECT_EQ(remove_trailing, has_trailing && !after_remove.empty())
          << "«" << text << "» remove " << key << ": «" << *remove_text << "»";
    }
    if (eol == "\r\n") {
      for (const std::string& edited : {set_text, remove_text.value_or("")}) {
        for (std::size_t p = edited.find('\n'); p != std::string::npos; p = edited.find('\n', p + 1)) {
          ASSERT_TRUE(p > 0 && edited[p - 1] == '\r') << "bare line feed in «" << edited << "» from «" << text << "»";
        }
      }
    }
  }
}

}  // namespace
}  // namespace trelm::jinja
