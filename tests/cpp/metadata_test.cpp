#include "query/metadata.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "edit/config_edit.hpp"
#include "jinja/literal.hpp"
#include "support/parsed.hpp"
#include "tree/print.hpp"

namespace trelm::query {
namespace {

using edit::ConfigChange;
using jinja::Literal;
using testing::parse_ok;

TEST(ConfigText, IsTheFirstTopLevelExpressionTagOpeningWithConfig) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"-- header\n/* note */\n{{ config(a=1) }}\n\nselect 1 from t", "{{ config(a=1) }}"},
      {"{{ config(a=1) }}{{ config(b=2) }}", "{{ config(a=1) }}"},
      {"{{ foo(config(a=1)) }}\n{{ config(b=2) }}", "{{ config(b=2) }}"},
      {"{% if x %}{{ config(a=1) }}{% endif %}", std::nullopt},
      {"{% config(a=1) %}\n{{ config(b=2) }}", "{{ config(b=2) }}"},
      {"-- {{ config(a=1) }}\nselect 1", std::nullopt},
      {"select 1", std::nullopt},
  };
  for (const auto& [text, tag] : cases) {
    cst::Document doc = parse_ok(text);
    EXPECT_EQ(config_text(doc), tag) << "«" << text << "»";
    std::optional<std::size_t> index = config_index(doc);
    ASSERT_EQ(index.has_value(), tag.has_value()) << "«" << text << "»";
    if (!index) continue;
    auto lock = doc.root->read_lock();
    ASSERT_LT(*index, doc.root->children.size());
    EXPECT_TRUE(doc.root->children[*index].is_token_kind(cst::TokenKind::JinjaExpression));
    EXPECT_EQ(doc.root->children[*index].token().text(), tag) << "«" << text << "»";
  }
}

TEST(ConfigKeys, ListsKeywordNamesAndTheirSourceText) {
  using Sources = std::vector<std::pair<std::string, std::optional<std::string>>>;
  const std::vector<std::tuple<std::string, std::vector<std::string>, Sources>> cases = {
      {"{{ config(tags=['a', 'b'], enabled = true) }}\nselect 1",
       {"tags", "enabled"},
       {{"tags", "['a', 'b']"}, {"enabled", "true"}, {"Tags", std::nullopt}}},
      {"{{ config(style='table', style='view') }}", {"style", "style"}, {{"style", "'table'"}}},
      {"{{ config('x', a=1, 2) }}", {"a"}, {{"a", "1"}, {"x", std::nullopt}}},
      {"{{ config(\n  a = f( 1 ) ,\n  b=var('x'),\n) }}", {"a", "b"}, {{"a", "f( 1 )"}, {"b", "var('x')"}}},
      {"{{ config(a == 1) }}", {}, {{"a", std::nullopt}}},
      {"select 1", {}, {{"a", std::nullopt}}},
  };
  for (const auto& [text, keys, sources] : cases) {
    cst::Document doc = parse_ok(text);
    EXPECT_EQ(config_keys(doc), keys) << "«" << text << "»";
    for (const auto& [key, source] : sources) EXPECT_EQ(config_source(doc, key), source) << "«" << text << "» " << key;
  }
}

using Lists = std::vector<std::vector<std::string>>;

TEST(Refs, AreTheDistinctStringArgumentListsOfRefCalls) {
  const std::vector<std::pair<std::string, Lists>> cases = {
      {"{{ ref('b') }} {{ ref(\"b\") }} {{ ref('a') }} {{ ref('pkg', 'b') }} {{ ref('pkg', 'a') }}",
       {{"b"}, {"a"}, {"pkg", "b"}, {"pkg", "a"}}},
      // argument lists are told apart whole, in order
      {"{{ ref('a', 'b') }} {{ ref('b', 'a') }} {{ ref('ab') }} {{ ref('a', 'b') }}",
       {{"a", "b"}, {"b", "a"}, {"ab"}}},
      {"{{ ref('m', version=2) }} {{ ref('it\\'s', ) }}", {{"m"}, {"it's"}}},
      {"{{ coalesce(ref('a'), ref('b')) }}", {{"a"}, {"b"}}},
      {"{{ ref(var('m')) }} {{ ref() }} {{ ref(1) }}", {}},
      // everywhere in the tree, Jinja inside comments, strings and quoted names too
      {"select * from {{ ref('a') }} join (select * from {{ ref('b') }}) t", {{"a"}, {"b"}}},
      {"{% if x %}select * from {{ ref('in_if') }}{% else %}{{ ref('in_else') }}{% endif %}",
       {{"in_if"}, {"in_else"}}},
      {"{% set rel = ref('st') %}", {{"st"}}},
      {"-- uses {{ ref('x') }}\nselect 1", {{"x"}}},
      {"/* {{ ref('b') }} and {{ ref('c') }} */ select 1", {{"b"}, {"c"}}},
      {"select '{{ ref(\"s\") }}', \"{{ ref('q') }}\"", {{"s"}, {"q"}}},
      {"{# {{ ref('x') }} #} {% raw %}{{ ref('r') }}{% endraw %}", {}},
      {"select 'ref(\"a\")'", {}},
  };
  for (const auto& [text, lists] : cases) EXPECT_EQ(refs(parse_ok(text)), lists) << "«" << text << "»";
}

TEST(CallStringArgs, KeepEveryReadableCallInOrderAndSourcesTheDistinctPairs) {
  const std::vector<std::pair<std::string, Lists>> cases = {
      {"{{ ref('a') }}{{ ref('a') }}", {{"a"}, {"a"}}},
      {"{{ ref() }} {{ ref(x) }} {{ ref('b', v=1) }}", {{}, {"b"}}},
      {"{{ ref('a', ref('b')) }}", {{"b"}}},
  };
  for (const auto& [text, lists] : cases) {
    EXPECT_EQ(call_string_args(parse_ok(text), "ref"), lists) << "«" << text << "»";
  }
  // sources: distinct pairs from calls with exactly two strings
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(sources(parse_ok("{{ source('a', 'b') }} {{ source(\"b\", 'a', v=1) }} {{ source('a', 'b') }} "
                             "{{ source('raw') }} {{ source('a', 'b', 'c') }} {{ source('raw', tbl) }}")),
            (Pairs{{"a", "b"}, {"b", "a"}}));
}

// Linear in the number of calls, and no recursion: the walk over the tree
// holds a lock per level.
TEST(Refs, HandleManyCallsAndDeepNesting) {
  const std::size_t n = 100000;
  std::string text;
  for (std::size_t i = 0; i < n; ++i) text += "{{ ref('m" + std::to_string(i) + "') }}\n";
  for (std::size_t i = 0; i < n; i += 7) text += "-- {{ ref('m" + std::to_string(i) + "') }}\n";
  Lists got = refs(parse_ok(text));
  ASSERT_EQ(got.size(), n);
  EXPECT_EQ(got[4242], std::vector<std::string>{"m4242"});
  EXPECT_EQ(got.back(), std::vector<std::string>{"m99999"});

  for (const std::string& deep : {testing::repeat("(", n) + "{{ ref('deep') }}" + testing::repeat(")", n),
                                  testing::repeat("{% if x %}[", n) + "-- {{ ref('deep') }}\n" +
                                      testing::repeat("]{% endif %}", n)}) {
    cst::Document doc = parse_ok(deep);
    EXPECT_EQ(refs(doc), (Lists{{"deep"}}));
    EXPECT_EQ(config_index(doc), std::nullopt);
  }
}

// An edit and the answer it must give (none for set_config_text).
struct Op {
  std::function<std::optional<ConfigChange>(cst::Document&)> run;
  std::optional<ConfigChange> expected = ConfigChange::Applied;
};

Op set(std::string key, Literal value, ConfigChange expected = ConfigChange::Applied, std::size_t nth = 0) {
  return {[=](cst::Document& doc) { return edit::set_config(doc, key, value, nth); }, expected};
}
Op set_source(std::string key, std::string source, ConfigChange expected = ConfigChange::Applied) {
  return {[=](cst::Document& doc) { return edit::set_config_source(doc, key, source); }, expected};
}
Op remove(std::string key, ConfigChange expected = ConfigChange::Applied, std::size_t nth = 0) {
  return {[=](cst::Document& doc) { return edit::remove_config(doc, key, nth); }, expected};
}
Op set_text(std::string text) {
  const auto run = [=](cst::Document& doc) -> std::optional<ConfigChange> {
    edit::set_config_text(doc, text);
    return std::nullopt;
  };
  return {run, std::nullopt};
}

// The layouts and refusals of these edits are tested through Config in
// Python; here, the second tag, a document without the call, and new tag text.
TEST(ConfigEdit, ChangesOnlyTheConfigurationTag) {
  struct Case {
    std::string name;
    std::string before;
    std::vector<Op> ops;
    std::string after;
  };
  const std::string head = "-- model\n";
  const std::string tail = "\nselect a, b from {{ ref('t') }}\n";
  const auto none = ConfigChange::NoConfigCall;
  const auto applied = ConfigChange::Applied;
  const std::vector<Case> cases = {
      {"the second of two tags", "{{ config(a=1) }}\n{{ config({'a': 1}) }}",
       {set("a", Literal::integer(5), applied, 1), remove("a", none, 2), remove("a", applied, 1)},
       "{{ config(a=1) }}\n{{ config({}) }}"},
      {"no configuration tag", "{{ other(a=1) }}",
       {set("a", Literal::integer(2), none), set_source("a", "2", none), remove("a", none),
        set_text("{{ config(x=1) }}")},
       "{{ other(a=1) }}"},
      {"new tag text", "{{ config(a=1) }}", {set_text("{{ config(z=1) }}"), set("y", Literal::boolean(false))},
       "{{ config(z=1, y=False) }}"},
      {"new tag text that is no config call", "{{ config(a=1) }}",
       {set_text("{{ other() }}"), set("a", Literal::integer(2), none)}, "{{ other() }}"},
  };
  for (const Case& c : cases) {
    cst::Document doc = parse_ok(head + c.before + tail);
    for (std::size_t i = 0; i < c.ops.size(); ++i) {
      EXPECT_EQ(c.ops[i].run(doc), c.ops[i].expected) << c.name << " op " << i;
    }
    const std::string printed = cst::document_text(doc);
    EXPECT_EQ(printed, head + c.after + tail) << c.name;
    // The tree holds the new tag: it reads the same after printing and parsing again.
    EXPECT_EQ(config_text(parse_ok(printed)), config_text(doc)) << c.name;
  }
}

}  // namespace
}  // namespace trelm::query
