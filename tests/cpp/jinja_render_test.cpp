#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "jinja/call.hpp"
#include "jinja/kwarg_edit.hpp"
#include "jinja/literal.hpp"
#include "jinja/literal_reader.hpp"
#include "jinja/render.hpp"
#include "support/parsed.hpp"

namespace trelm::jinja {
namespace {

using testing::repeat;

Literal S(std::string s) { return Literal::str(std::move(s)); }
Literal I(std::int64_t v) { return Literal::integer(v); }
Literal F(double v) { return Literal::floating(v); }
Literal B(bool v) { return Literal::boolean(v); }
Literal N() { return Literal::none(); }
Literal L(Literal::List items) { return Literal::list(std::move(items)); }
Literal D(Literal::Dict pairs) { return Literal::dict(std::move(pairs)); }

constexpr std::int64_t kMinInt = std::numeric_limits<std::int64_t>::min();

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
      // strings: only the chosen quote is escaped
      {S("it's"), '\'', "'it\\'s'"}, {S("it's"), '"', "\"it's\""}, {S("say \"hi\""), '"', "\"say \\\"hi\\\"\""},
      {S("a\tb\nc\rd\\e"), '\'', "'a\\tb\\nc\\rd\\\\e'"}, {S("é€😀 \x01\x7f{}"), '"', "\"é€😀 \x01\x7f{}\""},
      {I(-5), '"', "-5"}, {I(kMinInt), '"', "-9223372036854775808"},
      // doubles without a fractional part: exact digits and ".0"
      {F(3.0), '"', "3.0"}, {F(-0.0), '"', "-0.0"}, {F(1e23), '"', "99999999999999991611392.0"},
      {F(std::numeric_limits<double>::max()), '"', dbl_max},
      // other finite doubles: shortest round-trip text, never an exponent
      {F(-0.5), '"', "-0.5"}, {F(1e-7), '"', "0.0000001"}, {F(0.1 + 0.2), '"', "0.30000000000000004"},
      {F(1000000000000000.5), '"', "1000000000000000.5"},
      {F(std::numeric_limits<double>::denorm_min()), '"', "0." + std::string(323, '0') + "5"},
      {F(inf), '"', "1e999"}, {F(-inf), '"', "-1e999"}, {F(std::numeric_limits<double>::quiet_NaN()), '"', "NaN"},
      {L({B(true), B(false), N(), L({}), D({})}), '\'', "[True, False, None, [], {}]"},
      {D({{S("a"), L({S("b")})}, {I(1), D({})}, {L({I(1), F(2.0)}), N()}, {S("a"), S("y")}}), '"',
       "{\"a\": [\"b\"], 1: {}, [1, 2.0]: None, \"a\": \"y\"}"},
  };
  for (const Case& c : cases) EXPECT_EQ(render_literal(c.value, c.quote), c.text);
}

// A million-level document is possible; 100,000 levels is enough to show
// that reading, printing, copying, comparing and freeing do not recurse.
TEST(Literal, DeepNestingCostsNoStack) {
  const std::size_t depth = 100000;
  const std::string lists = repeat("[", depth) + repeat("]", depth);
  const std::string dicts = repeat("{1: ", depth) + "None" + repeat("}", depth);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {lists, lists},
      {dicts, dicts},
      {repeat("(", depth) + "'x'" + repeat(",)", depth), repeat("[", depth) + "'x'" + repeat("]", depth)},
      {repeat("-(", depth) + "1" + repeat(")", depth), "1"},
  };
  const std::optional<Literal> other = parse_literal(repeat("[", depth) + "1" + repeat("]", depth));
  ASSERT_TRUE(other);
  for (const auto& [text, rendered] : cases) {
    const std::string row = rendered.substr(0, 8);
    std::optional<Literal> value = parse_literal(text);
    ASSERT_TRUE(value) << row;
    EXPECT_TRUE(render_literal(*value, '\'') == rendered && !(*other == *value)) << row;
    Literal copy = *value;
    Literal assigned = S("x");
    assigned = copy;
    Literal moved = std::move(copy);
    EXPECT_TRUE(assigned == *value && moved == *value) << row;
    moved = N();
    EXPECT_FALSE(moved == *value) << row;
  }
}

// The config call in `text` (a tag or a bare call).
Call call_in(std::string_view text) {
  std::vector<Call> calls = find_calls(text, "config");
  EXPECT_EQ(calls.size(), 1u) << "«" << text << "»";
  return calls.empty() ? Call{} : calls[0];
}

// Each row: the call, the key, the call after setting it to 9 and after
// removing it (none when it is no keyword argument there).
TEST(KwargEdit, SetsAndRemovesInTheLayoutOfTheCall) {
  const std::vector<std::tuple<std::string, std::string, std::string, std::optional<std::string>>> cases = {
      // replacing changes the value span only; the first of two names counts
      {"config(a = f(1, 2) , b=1)", "a", "config(a = 9 , b=1)", "config(b=1)"},
      {"config(a=1, a=2)", "a", "config(a=9, a=2)", "config(a=2)"},
      {"config(a=1, b=2)", "b", "config(a=1, b=9)", "config(a=1)"},
      {"config(a=1,)", "a", "config(a=9,)", "config()"},
      {"config(\n  a=1\n)", "a", "config(\n  a=9\n)", "config()"},
      {"config(\n  a=1,\n  b=2\n)", "a", "config(\n  a=9,\n  b=2\n)", "config(\n  b=2\n)"},
      {"config(\n  a=1,\n  b=2,\n)", "b", "config(\n  a=1,\n  b=9,\n)", "config(\n  a=1,\n)"},
      // an empty call: whatever stood between the brackets goes
      {"{{ config( ) }}", "key", "{{ config(key=9) }}", std::nullopt},
      // single line
      {"config(a=1)", "key", "config(a=1, key=9)", std::nullopt},
      {"config(a=1 , )", "key", "config(a=1 , key=9, )", std::nullopt},
      {"config(a=1  )", "key", "config(a=1, key=9  )", std::nullopt},
      {"config(a == 1)", "a", "config(a == 1, a=9)", std::nullopt},
      // the separator is the first keyword argument's, "=" without one
      {"config('m', a =1, b= 2)", "c", "config('m', a =1, b= 2, c =9)", std::nullopt},
      {"config('key')", "key", "config('key', key=9)", std::nullopt},
      // one per line: the indentation from the last line feed before the first argument
      {"config(\n    a=1,\n)", "key", "config(\n    a=1,\n    key=9,\n)", std::nullopt},
      {"config(\n    a=1\n)", "key", "config(\n    a=1,\n    key=9\n)", std::nullopt},
      {"config(\n\n  a=1\n)", "b", "config(\n\n  a=1,\n  b=9\n)", std::nullopt},
      {"config( \n  a=1)", "b", "config( \n  a=1,\n  b=9)", std::nullopt},
      {"config('m',\n  a=1)", "b", "config('m',\n  a=1, b=9)", std::nullopt},
      // line ends written as "\r\n" stay "\r\n"
      {"{{ config(\r\n    a=1\r\n) }}", "b", "{{ config(\r\n    a=1,\r\n    b=9\r\n) }}", std::nullopt},
      // leading commas: the line of the last comma is repeated
      {"config(\n  a=1\n  , b = 2\n)", "key", "config(\n  a=1\n  , b = 2\n  , key=9\n)", std::nullopt},
      {"config(\n  a=1\n  , b = 2\n)", "b", "config(\n  a=1\n  , b = 9\n)", "config(\n  a=1\n)"},
      {"config(a=1\r\n\t,b=2)", "c", "config(a=1\r\n\t,b=2\r\n\t,c=9)", std::nullopt},
      {"config(\n  a=1\n  , b=2\n  , c=3\n)", "b", "config(\n  a=1\n  , b=9\n  , c=3\n)", "config(\n  a=1\n  , c=3\n)"},
  };
  for (const auto& [text, key, after_set, after_remove] : cases) {
    EXPECT_EQ(set_kwarg(text, call_in(text), key, "9"), after_set) << "«" << text << "» set " << key;
    EXPECT_EQ(remove_kwarg(text, call_in(text), key), after_remove) << "«" << text << "» remove " << key;
  }
}

}  // namespace
}  // namespace trelm::jinja
