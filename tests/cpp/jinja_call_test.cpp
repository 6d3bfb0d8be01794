#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jinja/call.hpp"
#include "jinja/expr_tokens.hpp"

namespace trelm::jinja {
namespace {

bool all_blank(std::string_view s) {
  return s.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// «<name=value,> <value> )»: each argument in angle brackets (a trailing ","
// when it has a comma), then the closing bracket. Checks on the way what
// every call must satisfy: spans on token boundaries, commas on ",", the
// brackets where they are said to be.
std::string call_dump(std::string_view text, const Call& call) {
  std::string out;
  std::string broken;
  if (call.open >= text.size() || text[call.open] != '(') broken += " [open not on '(']";
  if (call.close >= text.size() || std::string_view(")]}").find(text[call.close]) == std::string_view::npos) {
    broken += " [close not on a bracket]";
    return out + broken;
  }
  std::size_t pos = call.open + 1;
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    const CallArg& a = call.args[i];
    if (a.span.start < pos || a.span.end != a.value.end || a.value.start > a.value.end) broken += " [bad span]";
    if (a.name && (a.name->start != a.span.start || a.name->end > a.value.start)) broken += " [bad name]";
    if (!a.comma && i + 1 < call.args.size()) broken += " [missing comma]";
    out += '<';
    if (a.name) out += std::string(a.name->text_in(text)) + "=";
    out += a.value.text_in(text);
    std::string_view whole = a.span.text_in(text);
    if (!whole.empty() && (all_blank(whole.substr(0, 1)) || all_blank(whole.substr(whole.size() - 1)))) {
      broken += " [blank at span edge]";
    }
    pos = a.span.end;
    if (a.comma) {
      if (*a.comma >= text.size() || text[*a.comma] != ',' || !all_blank(text.substr(pos, *a.comma - pos))) {
        broken += " [comma misplaced]";
      }
      out += ',';
      pos = *a.comma + 1;
    }
    out += "> ";
  }
  if (call.close < pos) broken += " [close before arguments]";
  out += text[call.close];
  return out + broken;
}

std::optional<std::string> parse_first_call(std::string_view text) {
  std::vector<ExprToken> tokens = tokenize(text);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (!tokens[i].is_open('(')) continue;
    std::optional<Call> call = parse_call(tokens, i);
    if (!call) return std::nullopt;
    return call_dump(text, *call);
  }
  ADD_FAILURE() << "no '(' in «" << text << "»";
  return std::nullopt;
}

TEST(ParseCall, SplitsArgumentsAtTopLevelCommas) {
  struct Case {
    std::string text;
    std::optional<std::string> dump;
  };
  const std::vector<Case> cases = {
      {"f()", ")"},
      {"f( )", ")"},
      {"f(a)", "<a> )"},
      {"f( a )", "<a> )"},
      {"f(a, b,)", "<a,> <b,> )"},
      {"f(a,,b)", "<a,> <b> )"},
      {"f(,a)", "<a> )"},
      {"f(,)", ")"},
      {"f(a,,)", "<a,> )"},
      {"f(a,, (1,2),)", "<a,> <(1,2),> )"},
      {"f(x, (1, 2))", "<x,> <(1, 2)> )"},
      {"f([1, 2], {'k': (3, 4)})", "<[1, 2],> <{'k': (3, 4)}> )"},
      {"f('a,b', c)", "<'a,b',> <c> )"},
      {"f(x[0], y)", "<x[0],> <y> )"},
      {"f(a]", "<a> ]"},
      {"f(a}", "<a> }"},
      {"f(a) + g(b)", "<a> )"},
      {"f(-1, not x)", "<-1,> <not x> )"},
      // keyword arguments: a name, a single "=", and at least one more token
      {"f(a = 1)", "<a=1> )"},
      {"f(a=b=c)", "<a=b=c> )"},
      {"f(a =)", "<a => )"},
      {"f(a == 1)", "<a == 1> )"},
      {"f(f(x) = 1)", "<f(x) = 1> )"},
      {"f('a'=1)", "<'a'=1> )"},
      {"f('m', v=2)", "<'m',> <v=2> )"},
      // never closed
      {"f(a", std::nullopt},
      {"f(", std::nullopt},
      {"f(a, b", std::nullopt},
      {"f((a, b)", std::nullopt},
      {"f(a=1,", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_first_call(c.text), c.dump) << "«" << c.text << "»";
  }
}

// For "f('a'=1)" the dump cannot tell a name from positional text: check
// the name itself here, with the exact positions of one multi-line call.
TEST(ParseCall, GivesExactPositions) {
  const std::string text = "config(\n  a = 'x',\n  b=[1, 2]\n)";
  std::vector<ExprToken> tokens = tokenize(text);
  std::optional<Call> call = parse_call(tokens, 1);
  ASSERT_TRUE(call);
  ASSERT_EQ(call->args.size(), 2u);
  const CallArg& a = call->args[0];
  const CallArg& b = call->args[1];
  EXPECT_EQ(call->open, 6u);
  EXPECT_EQ(call->close, text.size() - 1);
  ASSERT_TRUE(a.name);
  EXPECT_EQ(a.name->start, 10u);
  EXPECT_EQ(a.name->end, 11u);
  EXPECT_EQ(a.value.text_in(text), "'x'");
  EXPECT_EQ(a.span.start, 10u);
  EXPECT_EQ(a.span.end, 17u);
  EXPECT_EQ(a.comma, std::optional<std::size_t>(17));
  ASSERT_TRUE(b.name);
  EXPECT_EQ(b.name->text_in(text), "b");
  EXPECT_EQ(b.value.text_in(text), "[1, 2]");
  EXPECT_FALSE(b.comma);

  std::optional<Call> quoted = parse_call(tokenize("f('a'=1)"), 1);
  ASSERT_TRUE(quoted);
  ASSERT_EQ(quoted->args.size(), 1u);
  EXPECT_FALSE(quoted->args[0].name);
}

TEST(FindCalls, FindsEveryCallOfTheName) {
  struct Case {
    std::string text;
    std::string name;
    std::vector<std::string> dumps;
  };
  const std::vector<Case> cases = {
      {"{{ ref('a') }}", "ref", {"<'a'> )"}},
      {"ref('a')", "ref", {"<'a'> )"}},
      {"{{ ref('a', v=2) }}", "ref", {"<'a',> <v=2> )"}},
      {"{{ ref ('a') }}", "ref", {"<'a'> )"}},
      {"{{ ref(\n'a'\n) }}", "ref", {"<'a'> )"}},
      {"coalesce(ref('a'), ref('b'))", "ref", {"<'a'> )", "<'b'> )"}},
      {"ref('a', ref('b'))", "ref", {"<'a',> <ref('b')> )", "<'b'> )"}},
      {"ref('a') ref('b')", "ref", {"<'a'> )", "<'b'> )"}},
      {"x | ref('a')", "ref", {"<'a'> )"}},
      {"!ref('a')", "ref", {"<'a'> )"}},
      {"ref('a' ref('b')", "ref", {"<'b'> )"}},
      {"{{ source('raw', 'x') }}", "source", {"<'raw',> <'x'> )"}},
      {"{{ my_ref('a') }}", "ref", {}},
      {"{{ ref_('a') }}", "ref", {}},
      {"{{ REF('a') }}", "ref", {}},
      {"{{ x.ref('a') }}", "ref", {}},
      {"a.b.ref('x')", "ref", {}},
      {".ref('a')", "ref", {}},
      {"a. ref('x')", "ref", {}},
      {"ref.x('a')", "ref", {}},
      {"ref['a']", "ref", {}},
      {"'ref(1)'", "ref", {}},
      {"ref('a'", "ref", {}},
      {"ref", "ref", {}},
      {"", "ref", {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (const Call& call : find_calls(c.text, c.name)) got.push_back(call_dump(c.text, call));
    EXPECT_EQ(got, c.dumps) << "«" << c.text << "»";
  }
}

TEST(ConfigCall, AcceptsOnlyATagThatOpensWithTheCall) {
  struct Case {
    std::string text;
    std::optional<std::string> dump;
  };
  const std::vector<Case> cases = {
      {"{{ config(a=1) }}", "<a=1> )"},
      {"{{config(a=1)}}", "<a=1> )"},
      {"{{-config(a=1)-}}", "<a=1> )"},
      {"{{+ config(a=1) }}", "<a=1> )"},
      {"{{--+ config(a=1) }}", "<a=1> )"},
      {"{{ config (a=1) }}", "<a=1> )"},
      {"{{\n  config(\n    a=1,\n  )\n}}", "<a=1,> )"},
      {"{{\xC2\xA0" "config(a=1) }}", "<a=1> )"},
      {"{{ config() }}", ")"},
      {"{{ config(a=1) | upper }}", "<a=1> )"},
      {"{{ config('x', b=[1, 2]) }}", "<'x',> <b=[1, 2]> )"},
      {"{{ config }}", std::nullopt},
      {"{{ configs(a=1) }}", std::nullopt},
      {"{{ Config(a=1) }}", std::nullopt},
      {"{{ x(config(a=1)) }}", std::nullopt},
      {"{{ foo(config(a=1)) }}", std::nullopt},
      {"{{ x ~ config(a=1) }}", std::nullopt},
      {"{{ (config(a=1)) }}", std::nullopt},
      {"{{ 1 + config(a=1) }}", std::nullopt},
      {"{{ 'a' ~ config(a=1) }}", std::nullopt},
      {"{{ - config(a=1) }}", std::nullopt},
      {"{{ config.x(a=1) }}", std::nullopt},
      {"{{ config[0](a=1) }}", std::nullopt},
      {"{{ config(a=1", std::nullopt},
      {"{{ config(a=(1", std::nullopt},
      {"{{ }}", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    std::optional<Call> call = config_call(c.text);
    std::optional<std::string> got;
    if (call) got = call_dump(c.text, *call);
    EXPECT_EQ(got, c.dump) << "«" << c.text << "»";
  }
}

TEST(CallKwarg, FindsTheFirstKeywordArgumentByExactName) {
  struct Case {
    std::string text;
    std::string key;
    std::optional<std::size_t> index;
    std::string value;
  };
  const std::vector<Case> cases = {
      {"config(a=1, a=2)", "a", 0, "1"},
      {"config(a=1, b=2)", "b", 1, "2"},
      {"config(x, b = [1, 2] )", "b", 1, "[1, 2]"},
      {"config(b=f(x, y), c=1)", "b", 0, "f(x, y)"},
      {"config(\n  a =\n    'x'  ,\n)", "a", 0, "'x'"},
      {"config('a')", "a", std::nullopt, ""},
      {"config(a == 1)", "a", std::nullopt, ""},
      {"config(ab=1)", "a", std::nullopt, ""},
      {"config(a=1)", "ab", std::nullopt, ""},
      {"config(A=1)", "a", std::nullopt, ""},
      {"config()", "a", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    std::vector<Call> calls = find_calls(c.text, "config");
    ASSERT_EQ(calls.size(), 1u) << "«" << c.text << "»";
    std::optional<KwargMatch> got = calls[0].kwarg(c.text, c.key);
    ASSERT_EQ(got.has_value(), c.index.has_value()) << "«" << c.text << "» key " << c.key;
    if (!got) continue;
    EXPECT_EQ(got->index, *c.index) << "«" << c.text << "» key " << c.key;
    EXPECT_EQ(got->value_text, c.value) << "«" << c.text << "» key " << c.key;
  }
}

}  // namespace
}  // namespace trelm::jinja
