#include "query/metadata.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
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

// The text of the root's child at `index`, when that child is a token.
std::optional<std::string> root_token_text(const cst::Document& doc, std::size_t index) {
  auto lock = doc.root->read_lock();
  if (index >= doc.root->children.size() || !doc.root->children[index].is_token_kind(cst::TokenKind::JinjaExpression)) {
    return std::nullopt;
  }
  return doc.root->children[index].token().text;
}

TEST(ConfigText, IsTheFirstTopLevelExpressionTagOpeningWithConfig) {
  struct Case {
    std::string doc;
    std::optional<std::string> tag;
  };
  const std::vector<Case> cases = {
      {"{{ config(style='view') }}\nselect 1", "{{ config(style='view') }}"},
      {"-- header\n/* note */\n{{ config(a=1) }}\n\nselect 1 from t", "{{ config(a=1) }}"},
      {"{{- config(a=1) -}}", "{{- config(a=1) -}}"},
      {"{{ config(a=1) }}{{ config(b=2) }}", "{{ config(a=1) }}"},
      {"{{ x }} {{ config(b=2) }}", "{{ config(b=2) }}"},
      {"{{ foo(config(a=1)) }}\n{{ config(b=2) }}", "{{ config(b=2) }}"},
      {"{% if x %}{{ config(a=1) }}{% endif %}", std::nullopt},
      {"{% set c = config(a=1) %}", std::nullopt},
      {"({{ config(a=1) }})", std::nullopt},
      {"{# {{ config(a=1) }} #}", std::nullopt},
      {"-- {{ config(a=1) }}\nselect 1", std::nullopt},
      {"{% raw %}{{ config(a=1) }}{% endraw %}", std::nullopt},
      {"{{ (config(a=1)) }}", std::nullopt},
      {"{{ config }}", std::nullopt},
      {"select 1", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    cst::Document doc = parse_ok(c.doc);
    EXPECT_EQ(config_text(doc), c.tag) << "«" << c.doc << "»";
    std::optional<std::size_t> index = config_index(doc);
    ASSERT_EQ(index.has_value(), c.tag.has_value()) << "«" << c.doc << "»";
    if (index) EXPECT_EQ(root_token_text(doc, *index), c.tag) << "«" << c.doc << "»";
  }
}

TEST(ConfigKeys, ListsKeywordNamesAndTheirSourceText) {
  struct Case {
    std::string doc;
    std::vector<std::string> keys;
    std::vector<std::pair<std::string, std::optional<std::string>>> sources;
  };
  const std::vector<Case> cases = {
      {"{{ config(style='view') }}\nselect 1", {"style"}, {{"style", "'view'"}, {"Style", std::nullopt}}},
      {"{{ config(tags=['a', 'b'], enabled = true) }}",
       {"tags", "enabled"},
       {{"tags", "['a', 'b']"}, {"enabled", "true"}}},
      {"{{ config(style='table', style='view') }}", {"style", "style"}, {{"style", "'table'"}}},
      {"{{ config('x', a=1, 2) }}", {"a"}, {{"a", "1"}, {"x", std::nullopt}}},
      {"{{ config(a = f( 1 ) ) }}", {"a"}, {{"a", "f( 1 )"}}},
      {"{{ config(\n  a=1,\n  b=var('x'),\n) }}", {"a", "b"}, {{"b", "var('x')"}}},
      {"{{ config(a == 1) }}", {}, {{"a", std::nullopt}}},
      {"{{ config() }}", {}, {{"a", std::nullopt}}},
      {"select 1", {}, {{"a", std::nullopt}}},
  };
  for (const Case& c : cases) {
    cst::Document doc = parse_ok(c.doc);
    EXPECT_EQ(config_keys(doc), c.keys) << "«" << c.doc << "»";
    for (const auto& [key, source] : c.sources) {
      EXPECT_EQ(config_source(doc, key), source) << "«" << c.doc << "» key " << key;
    }
  }
}

using Lists = std::vector<std::vector<std::string>>;

TEST(Refs, AreTheDistinctStringArgumentListsOfRefCalls) {
  struct Case {
    std::string doc;
    Lists refs;
  };
  const std::vector<Case> cases = {
      {"{{ ref('a') }} {{ ref(\"a\") }} {{ ref('pkg', 'a') }}", {{"a"}, {"pkg", "a"}}},
      {"{{ ref('b') }} {{ ref('a') }} {{ ref('b') }}", {{"b"}, {"a"}}},
      {"{{ ref('a', 'b') }} {{ ref('b', 'a') }}", {{"a", "b"}, {"b", "a"}}},
      {"{{ ref('m', version=2) }}", {{"m"}}},
      {"{{ ref('a', ) }}", {{"a"}}},
      {"{{ ref('it\\'s') }}", {{"it's"}}},
      {"{{ coalesce(ref('a'), ref('b')) }}", {{"a"}, {"b"}}},
      {"{{ ref(var('m')) }}", {}},
      {"{{ ref() }}", {}},
      {"{{ ref(1) }}", {}},
      {"{{ ref('a', x) }}", {}},
      {"{{ ref('a' ~ 'b') }}", {}},
      {"{{ x.ref('a') }}", {}},
      {"{{ my_ref('a') }}", {}},
      // everywhere in the tree, Jinja inside comments, strings and quoted names too
      {"select * from {{ ref('a') }} join (select * from {{ ref('b') }}) t", {{"a"}, {"b"}}},
      {"{% if x %}select * from {{ ref('in_if') }}{% else %}{{ ref('in_else') }}{% endif %}",
       {{"in_if"}, {"in_else"}}},
      {"{% set rel = ref('st') %}", {{"st"}}},
      {"-- uses {{ ref('x') }}\nselect 1", {{"x"}}},
      {"/* {{ ref('b') }} and {{ ref('c') }} */ select 1", {{"b"}, {"c"}}},
      {"select '{{ ref(\"s\") }}'", {{"s"}}},
      {"select \"{{ ref('q') }}\"", {{"q"}}},
      {"select `{{ ref('bq') }}`", {{"bq"}}},
      {"{# {{ ref('x') }} #}", {}},
      {"{% raw %}{{ ref('r') }}{% endraw %}", {}},
      {"select 'ref(\"a\")'", {}},
      {"{{ ref('a') }} {{ source('s', 't') }}", {{"a"}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(refs(parse_ok(c.doc)), c.refs) << "«" << c.doc << "»";
  }
}

TEST(CallStringArgs, KeepsEveryReadableCallInOrder) {
  struct Case {
    std::string doc;
    std::string name;
    Lists lists;
  };
  const std::vector<Case> cases = {
      {"{{ ref('a') }}{{ ref('a') }}", "ref", {{"a"}, {"a"}}},
      {"{{ ref() }} {{ ref(x) }} {{ ref('b', v=1) }}", "ref", {{}, {"b"}}},
      {"{{ ref('a', ref('b')) }}", "ref", {{"b"}}},
      {"{{ source('s', 't', 'u') }}", "source", {{"s", "t", "u"}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(call_string_args(parse_ok(c.doc), c.name), c.lists) << "«" << c.doc << "»";
  }
}

TEST(Sources, AreTheDistinctPairsOfTwoStringSourceCalls) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    std::string doc;
    Pairs sources;
  };
  const std::vector<Case> cases = {
      {"{{ source('raw', 'orders') }} {{ source('raw', 'orders') }}", {{"raw", "orders"}}},
      {"{{ source(\"raw\", 'x', version=1) }}", {{"raw", "x"}}},
      {"{{ source('raw', 'x') }} -- {{ source('raw', 'y') }}\nselect 1", {{"raw", "x"}, {"raw", "y"}}},
      {"{{ source('a', 'b') }} {{ source('b', 'a') }} {{ source('a', 'b') }}", {{"a", "b"}, {"b", "a"}}},
      {"{{ source('raw') }}", {}},
      {"{{ source('a', 'b', 'c') }}", {}},
      {"{{ source('raw', tbl) }}", {}},
      {"{{ source() }}", {}},
      {"{# {{ source('a', 'b') }} #}", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sources(parse_ok(c.doc)), c.sources) << "«" << c.doc << "»";
  }
}

TEST(Refs, HandleManyDistinctCalls) {
  const std::size_t n = 100000;
  std::string text;
  for (std::size_t i = 0; i < n; ++i) text += "{{ ref('m" + std::to_string(i) + "') }}\n";
  for (std::size_t i = 0; i < n; i += 7) text += "-- {{ ref('m" + std::to_string(i) + "') }}\n";
  cst::Document doc = parse_ok(text);
  Lists got = refs(doc);
  ASSERT_EQ(got.size(), n);
  EXPECT_EQ(got.front(), std::vector<std::string>{"m0"});
  EXPECT_EQ(got[4242], std::vector<std::string>{"m4242"});
  EXPECT_EQ(got.back(), std::vector<std::string>{"m99999"});
}

// The walk over the tree holds a lock per level; it must not recurse either.
TEST(Refs, ReachCallsNestedDeeply) {
  const std::size_t depth = 100000;
  const std::vector<std::string> texts = {
      testing::repeat("(", depth) + "{{ ref('deep') }}" + testing::repeat(")", depth),
      testing::repeat("{% if x %}[", depth) + "-- {{ ref('deep') }}\n" + testing::repeat("]{% endif %}", depth),
  };
  for (const std::string& text : texts) {
    cst::Document doc = parse_ok(text);
    EXPECT_EQ(refs(doc), (Lists{{"deep"}}));
    EXPECT_EQ(config_index(doc), std::nullopt);
  }
}

struct Op {
  enum class Kind { Set, SetSource, Remove, SetText } kind;
  std::string key;  // the new tag text for SetText
  Literal value;
  std::string source;
  ConfigChange expected;
};

Op set(std::string key, Literal value, ConfigChange expected = ConfigChange::Applied) {
  return {Op::Kind::Set, std::move(key), std::move(value), {}, expected};
}
Op set_source(std::string key, std::string source, ConfigChange expected = ConfigChange::Applied) {
  return {Op::Kind::SetSource, std::move(key), {}, std::move(source), expected};
}
Op remove(std::string key, ConfigChange expected = ConfigChange::Applied) {
  return {Op::Kind::Remove, std::move(key), {}, {}, expected};
}
Op set_text(std::string text) { return {Op::Kind::SetText, std::move(text), {}, {}, ConfigChange::Applied}; }

std::optional<ConfigChange> run(cst::Document& doc, const Op& op) {
  switch (op.kind) {
    case Op::Kind::Set: return edit::set_config(doc, op.key, op.value);
    case Op::Kind::SetSource: return edit::set_config_source(doc, op.key, op.source);
    case Op::Kind::Remove: return edit::remove_config(doc, op.key);
    case Op::Kind::SetText: edit::set_config_text(doc, op.key); return std::nullopt;
  }
  return std::nullopt;
}

TEST(ConfigEdit, ChangesOnlyTheConfigurationTag) {
  struct Case {
    std::string name;
    std::string before;
    std::vector<Op> ops;
    std::string after;
  };
  const std::string head = "-- model\n";
  const std::string tail = "\nselect a, b from {{ ref('t') }}\n";
  const std::vector<Case> cases = {
      {"replace keeps single quotes", "{{ config(style='view') }}", {set("style", Literal::str("table"))},
       "{{ config(style='table') }}"},
      {"no string in the tag gives double quotes", "{{ config(enabled=true) }}", {set("alias", Literal::str("x"))},
       "{{ config(enabled=true, alias=\"x\") }}"},
      {"quote of the first string anywhere", "{{ config(a=1, b=\"x\", c='y') }}", {set("d", Literal::str("z"))},
       "{{ config(a=1, b=\"x\", c='y', d=\"z\") }}"},
      {"one per line with trailing comma", "{{ config(\n    style=\"view\",\n) }}",
       {set("tags", Literal::list({Literal::str("a"), Literal::str("b")}))},
       "{{ config(\n    style=\"view\",\n    tags=[\"a\", \"b\"],\n) }}"},
      {"rendered values", "{{ config(a='x') }}",
       {set("f", Literal::floating(1e20)), set("d", Literal::dict({{Literal::str("k"), Literal::integer(-1)}})),
        set("n", Literal::none())},
       "{{ config(a='x', f=100000000000000000000.0, d={'k': -1}, n=None) }}"},
      {"a string holding closers", "{{ config(a=1) }}", {set("a", Literal::str("}} {{"))},
       "{{ config(a=\"}} {{\") }}"},
      {"raw source", "{{ config(a=1) }}", {set_source("schema", "var(\"schema\")")},
       "{{ config(a=1, schema=var(\"schema\")) }}"},
      {"raw source over lines", "{{ config(a=1) }}", {set_source("a", "[\n  1,\n]")}, "{{ config(a=[\n  1,\n]) }}"},
      {"raw source with closers in a string", "{{ config(a=1) }}", {set_source("a", "'x }} y'")},
       "{{ config(a='x }} y') }}"},
      {"line ends written as CRLF", "{{ config(\r\n    a=1\r\n) }}", {set("b", Literal::integer(2))},
       "{{ config(\r\n    a=1,\r\n    b=2\r\n) }}"},
      {"remove then set again", "{{ config(a=1) }}", {remove("a"), set("b", Literal::integer(2))},
       "{{ config(b=2) }}"},
      {"remove middle", "{{ config(a=1, b=2, c=3) }}", {remove("b")}, "{{ config(a=1, c=3) }}"},
      {"remove missing key", "{{ config(a=1) }}", {remove("b", ConfigChange::NoConfigCall)}, "{{ config(a=1) }}"},
      {"remove positional", "{{ config('a', b=1) }}", {remove("a", ConfigChange::NoConfigCall)},
       "{{ config('a', b=1) }}"},
      {"no configuration tag", "{{ other(a=1) }}",
       {set("a", Literal::integer(2), ConfigChange::NoConfigCall),
        set_source("a", "2", ConfigChange::NoConfigCall), remove("a", ConfigChange::NoConfigCall),
        set_text("{{ config(x=1) }}")},
       "{{ other(a=1) }}"},
      {"nested in a block is not the tag", "{% if x %}{{ config(a=1) }}{% endif %}",
       {set("a", Literal::integer(2), ConfigChange::NoConfigCall), remove("a", ConfigChange::NoConfigCall)},
       "{% if x %}{{ config(a=1) }}{% endif %}"},
      {"the first of two tags", "{{ config(a=1) }}\n{{ config(a=1) }}", {set("a", Literal::integer(5))},
       "{{ config(a=5) }}\n{{ config(a=1) }}"},
      {"new tag text", "{{ config(a=1) }}", {set_text("{{ config(z=1) }}"), set("y", Literal::boolean(false))},
       "{{ config(z=1, y=False) }}"},
      {"new tag text that is no config call", "{{ config(a=1) }}",
       {set_text("{{ other() }}"), set("a", Literal::integer(2), ConfigChange::NoConfigCall)}, "{{ other() }}"},
      // raw source that would not read back as this one tag with this value
      {"source closing the tag", "{{ config(a=1) }}", {set_source("a", "'x' }} {{ y", ConfigChange::BreaksTag)},
       "{{ config(a=1) }}"},
      {"source opening a bracket", "{{ config(a=1) }}", {set_source("a", "f(", ConfigChange::BreaksTag)},
       "{{ config(a=1) }}"},
      {"source adding an argument", "{{ config(a=1) }}", {set_source("a", "1, b=2", ConfigChange::BreaksTag)},
       "{{ config(a=1) }}"},
      {"source closing the call with another bracket", "{{ config(a=1) }}",
       {set_source("a", "1]", ConfigChange::BreaksTag)}, "{{ config(a=1) }}"},
      {"empty source", "{{ config(a=1) }}", {set_source("a", "", ConfigChange::BreaksTag)}, "{{ config(a=1) }}"},
      {"source closing the call", "{{ config(a=1) }}", {set_source("a", "1 ) or (x", ConfigChange::BreaksTag)},
       "{{ config(a=1) }}"},
      {"new key, source closing the tag", "{{ config(a=1) }}",
       {set_source("b", "'x' }} {{ y", ConfigChange::BreaksTag)}, "{{ config(a=1) }}"},
      {"new key, source opening a bracket", "{{ config(a=1) }}", {set_source("b", "f(", ConfigChange::BreaksTag)},
       "{{ config(a=1) }}"},
      {"new key, source adding an argument", "{{ config(a=1) }}",
       {set_source("b", "1, c=2", ConfigChange::BreaksTag)}, "{{ config(a=1) }}"},
      {"new key, empty source", "{{ config(a=1) }}", {set_source("b", "", ConfigChange::BreaksTag)},
       "{{ config(a=1) }}"},
      {"new key, source closing the call", "{{ config(a=1) }}",
       {set_source("b", "1 ) or (x", ConfigChange::BreaksTag)}, "{{ config(a=1) }}"},
  };
  for (const Case& c : cases) {
    cst::Document doc = parse_ok(head + c.before + tail);
    for (const Op& op : c.ops) {
      std::optional<ConfigChange> got = run(doc, op);
      if (got) EXPECT_EQ(*got, op.expected) << c.name << ": op on key " << op.key;
    }
    const std::string printed = cst::document_text(doc);
    EXPECT_EQ(printed, head + c.after + tail) << c.name;
    // The tag reads the same after printing and parsing again.
    cst::Document again = parse_ok(printed);
    EXPECT_EQ(config_text(again), config_text(doc)) << c.name;
  }
}

TEST(ConfigEdit, SourceIsStoredExactly) {
  cst::Document doc = parse_ok("{{ config(a=1) }}\nselect 1");
  ASSERT_EQ(edit::set_config_source(doc, "schema", "var(\"schema\")"), ConfigChange::Applied);
  EXPECT_EQ(config_source(doc, "schema"), std::optional<std::string>("var(\"schema\")"));
  EXPECT_EQ(config_keys(doc), (std::vector<std::string>{"a", "schema"}));
}

}  // namespace
}  // namespace trelm::query
