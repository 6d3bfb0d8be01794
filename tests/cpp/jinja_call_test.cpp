#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "jinja/call.hpp"
#include "jinja/config_args.hpp"
#include "jinja/expr_tokens.hpp"

namespace trelm::jinja {
namespace {

// Only blanks, and commas of empty arguments, may stand between the pieces
// of a call.
bool is_gap(std::string_view text, std::size_t from, std::size_t to) {
  return from <= to && text.substr(from, to - from).find_first_not_of(" \t\r\n,") == std::string_view::npos;
}

// «<name:value,> <value> )»: each argument in angle brackets (a trailing ","
// when it has a comma), then the closing bracket. Checks on the way what
// every call must satisfy: "(" and the closer where they are said to be,
// spans without blank edges, commas on ",", nothing but gaps in between.
std::string call_dump(std::string_view text, const Call& call) {
  if (call.open >= call.close || call.close >= text.size() || (text[call.open] != '(' && text[call.open] != '{') ||
      std::string_view(")]}").find(text[call.close]) == std::string_view::npos) {
    return "[brackets misplaced]";
  }
  std::string out;
  std::string broken;
  std::size_t pos = call.open + 1;
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    const CallArg& a = call.args[i];
    if (!is_gap(text, pos, a.span.start) || a.span.end != a.value.end || a.value.start > a.value.end) {
      broken += " [bad span]";
    }
    if (a.name && (a.name->start != a.span.start || a.name->end > a.value.start)) broken += " [bad name]";
    if (!a.comma && i + 1 < call.args.size()) broken += " [missing comma]";
    const std::string_view whole = a.span.text_in(text);
    if (whole.empty() || is_gap(whole, 0, 1) || is_gap(whole, whole.size() - 1, whole.size())) {
      broken += " [blank at span edge]";
    }
    out += "<";
    if (a.name) (out += a.name->text_in(text)) += ":";
    out += a.value.text_in(text);
    pos = a.span.end;
    if (a.comma) {
      if (*a.comma >= text.size() || text[*a.comma] != ',' || !is_gap(text, pos, *a.comma)) broken += " [bad comma]";
      out += ',';
      pos = *a.comma + 1;
    }
    out += "> ";
  }
  if (!is_gap(text, pos, call.close)) broken += " [close not after the arguments]";
  return out + text[call.close] + broken;
}

std::optional<std::string> parse_first_call(std::string_view text) {
  const std::vector<ExprToken> tokens = tokenize(text);
  std::size_t open = 0;
  while (open < tokens.size() && !tokens[open].is_open('(')) ++open;
  std::optional<Call> call = parse_call(tokens, open);
  return call ? std::optional<std::string>(call_dump(text, *call)) : std::nullopt;
}

TEST(ParseCall, SplitsArgumentsAtTopLevelCommas) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"f( )", ")"}, {"f( a )", "<a> )"}, {"f(a, b,)", "<a,> <b,> )"}, {"f(a,,b)", "<a,> <b> )"}, {"f(,a)", "<a> )"},
      {"f(x, (1, 2))", "<x,> <(1, 2)> )"}, {"f([1, 2], {'k': (3, 4)})", "<[1, 2],> <{'k': (3, 4)}> )"},
      {"f('a,b', c)", "<'a,b',> <c> )"}, {"f(a]", "<a> ]"}, {"f(a) + g(b)", "<a> )"},
      {"config(\n  a = 'x',\n  b=[1, 2]\n)", "<a:'x',> <b:[1, 2]> )"},
      // keyword arguments: a name, a single "=", and at least one more token
      {"f(a=b=c)", "<a:b=c> )"}, {"f(a =)", "<a => )"}, {"f(a == 1)", "<a == 1> )"}, {"f('a'=1)", "<'a'=1> )"},
      // never closed
      {"f(", std::nullopt}, {"f((a, b)", std::nullopt},
  };
  for (const auto& [text, dump] : cases) EXPECT_EQ(parse_first_call(text), dump) << "«" << text << "»";
}

TEST(FindCalls, FindsEveryCallOfTheName) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"{{ ref('a') }}", {"<'a'> )"}}, {"ref('a')", {"<'a'> )"}},
      {"coalesce(ref('a'), ref('b'))", {"<'a'> )", "<'b'> )"}},
      {"ref('a', ref('b'))", {"<'a',> <ref('b')> )", "<'b'> )"}}, {"ref('a' ref('b')", {"<'b'> )"}},
      {"{{ my_ref('a') }}", {}}, {"{{ x.ref('a') }}", {}}, {".ref('a')", {}}, {"ref['a']", {}}, {"'ref(1)'", {}},
      {"ref", {}},
  };
  for (const auto& [text, dumps] : cases) {
    std::vector<std::string> got;
    for (const Call& call : find_calls(text, "ref")) got.push_back(call_dump(text, call));
    EXPECT_EQ(got, dumps) << "«" << text << "»";
  }
}

TEST(ConfigCall, AcceptsOnlyATagThatOpensWithTheCall) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"{{ config(a=1) }}", "<a:1> )"}, {"{{config(a=1)}}", "<a:1> )"}, {"{{--+ config(a=1) }}", "<a:1> )"},
      {"{{\n  config(\n    a=1,\n  )\n}}", "<a:1,> )"}, {"{{\xC2\xA0" "config(a=1) }}", "<a:1> )"},
      {"{{ config(a=1) | upper }}", "<a:1> )"},
      {"{{ config }}", std::nullopt}, {"{{ configs(a=1) }}", std::nullopt}, {"{{ x(config(a=1)) }}", std::nullopt},
      {"{{ (config(a=1)) }}", std::nullopt}, {"{{ - config(a=1) }}", std::nullopt},
      {"{{ config.x(a=1) }}", std::nullopt}, {"{{ config(a=1", std::nullopt}, {"config(a=1)", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, dump] : cases) {
    std::optional<Call> call = config_call(text);
    EXPECT_EQ(call ? std::optional<std::string>(call_dump(text, *call)) : std::nullopt, dump) << "«" << text << "»";
  }
}

TEST(ParseDict, SplitsEntriesAtTheirOneTopLevelColon) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"{ }", "}"}, {"{'a': 1, \"b\" : [1, 2],}", "<'a':1,> <\"b\":[1, 2],> }"},
      {"{k: {'x': 1}, 2: x[1:2]}", "<k:{'x': 1},> <2:x[1:2]> }"},
      // not `key: value` everywhere, or never closed
      {"{'a'}", std::nullopt}, {"{'a': 1: 2}", std::nullopt}, {"{: 1}", std::nullopt}, {"{'a':}", std::nullopt},
      {"{'a': 1", std::nullopt},
  };
  for (const auto& [text, dump] : cases) {
    std::optional<Call> dict = parse_dict(tokenize(text), 0);
    EXPECT_EQ(dict ? std::optional<std::string>(call_dump(text, *dict)) : std::nullopt, dump) << "«" << text << "»";
  }
}

// Each row: the tag, its form, its keys, and «key:value text» of a lookup.
TEST(ConfigArgs, ReadKeywordsOrTheOneDict) {
  using Form = ConfigForm;
  const std::vector<std::tuple<std::string, Form, std::vector<std::string>, std::string>> cases = {
      {"{{ config() }}", Form::Keywords, {}, "a:"},
      {"{{ config(a=1, b=2, a=3) }}", Form::Keywords, {"a", "b", "a"}, "a:1"},
      {"{{ config({'a': 1, \"b\": f(x), 'a': 3}) }}", Form::Dict, {"a", "b", "a"}, "a:3"},
      {"{{ config({'it\\'s': 1, 2: 3, k: 4}, ) }}", Form::Dict, {"it's"}, "k:"},
      {"{{ config({}) }}", Form::Dict, {}, "a:"},
      {"{{ config({'a': 1}, b=2) }}", Form::Positional, {"b"}, "b:2"},
      {"{{ config('m', a=1) }}", Form::Positional, {"a"}, "a:1"},
      {"{{ config({'a': 1} ~ x) }}", Form::Positional, {}, "a:"},
      {"{{ config({'a'}) }}", Form::Positional, {}, "a:"},
      {"{{ config(**x) }}", Form::Positional, {}, "x:"},
  };
  for (const auto& [text, form, keys, lookup] : cases) {
    const std::optional<ConfigArgs> args = config_args(text);
    ASSERT_TRUE(args) << "«" << text << "»";
    EXPECT_EQ(args->form, form) << "«" << text << "»";
    EXPECT_EQ(args->key_names(), keys) << "«" << text << "»";
    const std::string key = lookup.substr(0, lookup.find(':'));
    const std::optional<std::size_t> found = args->find(key);
    const std::string value = found ? std::string(args->entries.args[*found].value.text_in(text)) : "";
    EXPECT_EQ(key + ":" + value, lookup) << "«" << text << "»";
  }
}

// «index:value text» of the first keyword argument named `key`.
TEST(CallKwarg, FindsTheFirstKeywordArgumentByExactName) {
  const std::vector<std::tuple<std::string, std::string, std::optional<std::string>>> cases = {
      {"config(a=1, a=2)", "a", "0:1"}, {"config(x, b = [1, 2] )", "b", "1:[1, 2]"},
      {"config(\n  a =\n    'x'  ,\n)", "a", "0:'x'"}, {"config('a')", "a", std::nullopt},
      {"config(ab=1)", "a", std::nullopt},
  };
  for (const auto& [text, key, expected] : cases) {
    std::vector<Call> calls = find_calls(text, "config");
    ASSERT_EQ(calls.size(), 1u) << "«" << text << "»";
    std::optional<KwargMatch> got = calls[0].kwarg(text, key);
    std::optional<std::string> shown;
    if (got) shown = std::to_string(got->index) + ":" + std::string(got->value_text);
    EXPECT_EQ(shown, expected) << "«" << text << "» key " << key;
  }
}

TEST(Calls, EveryCallWithItsDottedName) {
  const std::vector<std::pair<std::string_view, std::vector<std::string>>> cases = {
      {"{{ ref('a') }}", {"ref"}},
      {"{{ adapter.dispatch('f', 'p')(x) }}", {"adapter.dispatch"}},
      {"{{ a . b ( c(1) ) }}", {"a.b", "c"}},
      {"{% if not (x) and y(1) or (z) %}", {"y"}},
      {"{{ f().g(1) ~ 'a'.upper() ~ [1](2) }}", {"f"}},
  };
  for (const auto& [text, names] : cases) {
    std::vector<std::string> found;
    for (const NamedCall& c : find_every_call(text)) found.push_back(c.name);
    EXPECT_EQ(found, names) << text;
  }
}

}  // namespace
}  // namespace trelm::jinja
