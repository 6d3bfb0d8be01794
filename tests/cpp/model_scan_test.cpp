#include "query/model_scan.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/parsed.hpp"

namespace trelm::query {
namespace {

using jinja::Literal;
using testing::parse_ok;
using Strings = std::optional<std::vector<std::string>>;

// What a test expects of one call: its text, line, column, and string
// arguments.
struct Expected {
  std::string text;
  std::size_t line;
  std::size_t column;
  Strings strings;
};

void expect_calls(const std::vector<ScannedCall>& found, const std::vector<Expected>& expected,
                  const std::string& text) {
  ASSERT_EQ(found.size(), expected.size()) << "«" << text << "»";
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i].text, expected[i].text) << "«" << text << "»";
    EXPECT_EQ(std::make_pair(found[i].line, found[i].column), std::make_pair(expected[i].line, expected[i].column))
        << found[i].text << " in «" << text << "»";
    EXPECT_EQ(found[i].strings, expected[i].strings) << found[i].text << " in «" << text << "»";
  }
}

TEST(ScanModel, FindsRefsAndSourcesWithTheirPlacesAndStringArguments) {
  const std::vector<std::tuple<std::string, std::vector<Expected>, std::vector<Expected>>> cases = {
      {"select * from {{ ref('a') }}\njoin {{ source(\"s\", 't') }}",
       {{"ref('a')", 1, 18, std::vector<std::string>{"a"}}},
       {{"source(\"s\", 't')", 2, 9, std::vector<std::string>{"s", "t"}}}},
      // Columns count characters, lines only line feeds.
      {"-- é\r\nselect 'ü' as x, {{ ref('p', 'm') }}",
       {{"ref('p', 'm')", 2, 21, std::vector<std::string>{"p", "m"}}},
       {}},
      // Not string literals: no strings; keyword arguments do not count.
      {"{{ ref(x) }} {{ ref('a' ~ b) }} {{ ref('a', version=2) }} {{ ref() }}",
       {{"ref(x)", 1, 4, std::nullopt},
        {"ref('a' ~ b)", 1, 17, std::nullopt},
        {"ref('a', version=2)", 1, 36, std::vector<std::string>{"a"}},
        {"ref()", 1, 62, std::vector<std::string>{}}},
       {}},
      // Tags in comments and strings; a method named ref is no ref.
      {"-- {{ ref('c') }}\nselect '{{ source(\"s\", \"t\") }}', {{ x.ref('no') }}",
       {{"ref('c')", 1, 7, std::vector<std::string>{"c"}}},
       {{"source(\"s\", \"t\")", 2, 12, std::vector<std::string>{"s", "t"}}}},
      // Nested calls: the outer first, each placed where it is.
      {"{{ f(ref('a')) ~ ref('b') }}\n{{ ref(ref('c')) }}",
       {{"ref('a')", 1, 6, std::vector<std::string>{"a"}},
        {"ref('b')", 1, 18, std::vector<std::string>{"b"}},
        {"ref(ref('c'))", 2, 4, std::nullopt},
        {"ref('c')", 2, 8, std::vector<std::string>{"c"}}},
       {}},
      // Adjacent strings join; a string in parentheses is one.
      {"{% set x = ref('a' \"b\") %}{{ ref(('c')) }}",
       {{"ref('a' \"b\")", 1, 12, std::vector<std::string>{"ab"}}, {"ref(('c'))", 1, 30, std::vector<std::string>{"c"}}},
       {}},
      // Quotes, escapes and line ends inside the string: each decoded as Jinja does.
      {"{{ ref(\"it's\") }} {{ ref('it\\'s') }} {{ ref('') }} {{ ref('a''b') }}\n{{ ref('x\r\ny') }}",
       {{"ref(\"it's\")", 1, 4, std::vector<std::string>{"it's"}},
        {"ref('it\\'s')", 1, 22, std::vector<std::string>{"it's"}},
        {"ref('')", 1, 41, std::vector<std::string>{""}},
        {"ref('a''b')", 1, 55, std::vector<std::string>{"ab"}},
        {"ref('x\r\ny')", 2, 4, std::vector<std::string>{"x\ny"}}},
       {}},
      {"select 1", {}, {}},
  };
  for (const auto& [text, refs, sources] : cases) {
    cst::Document doc = parse_ok(text);
    const ModelScan scan = scan_model(doc, text);
    expect_calls(scan.refs, refs, text);
    expect_calls(scan.sources, sources, text);
  }
}

TEST(ScanModel, ReadsTheVersionOfARef) {
  // The last version=, else the last v=: what a dict of the keywords answers.
  const std::vector<std::tuple<std::string, std::optional<std::string>, std::optional<Literal>>> cases = {
      {"{{ ref('a', version=2) }}", "2", Literal::integer(2)},
      {"{{ ref('a', v='x' ~ y) }}", "'x' ~ y", std::nullopt},
      {"{{ ref('a', v=1, version='2') }}", "'2'", Literal::str("2")},
      {"{{ ref('a', version=1, version=none, v=3) }}", "none", Literal::none()},
      {"{{ ref('a') }}", std::nullopt, std::nullopt},
  };
  for (const auto& [text, source, value] : cases) {
    cst::Document doc = parse_ok(text);
    const ModelScan scan = scan_model(doc, text);
    ASSERT_EQ(scan.refs.size(), 1u) << text;
    EXPECT_EQ(scan.refs[0].version_source, source) << text;
    EXPECT_EQ(scan.refs[0].version, value) << text;
  }
}

TEST(ScanModel, ReadsEachConfigCallsKeysOnceWithTheirLiteralValues) {
  using Entries = std::vector<std::pair<std::string, std::optional<Literal>>>;
  const std::vector<std::tuple<std::string, std::vector<Entries>, std::pair<std::size_t, std::size_t>>> cases = {
      {"-- é\n  {{ config(style='table', tags=['a'], schema=var('s')) }}\n{{ config(style='view') }}",
       {{{"style", Literal::str("table")},
         {"tags", Literal::list({Literal::str("a")})},
         {"schema", std::nullopt}},
        {{"style", Literal::str("view")}}},
       {2, 3}},
      // A keyword's first value, a dict's last entry.
      {"{{ config({'style': 'table', 'style': 'view'}) }}", {{{"style", Literal::str("view")}}}, {1, 1}},
      // Only the root's expression tags that open with config.
      {"{% if x %}{{ config(a=1) }}{% endif %}\n{{ foo(config(b=2)) }}", {}, {1, 1}},
      {"select 1", {}, {1, 1}},
  };
  for (const auto& [text, configs, place] : cases) {
    cst::Document doc = parse_ok(text);
    const ModelScan scan = scan_model(doc, text);
    ASSERT_EQ(scan.configs.size(), configs.size()) << text;
    for (std::size_t i = 0; i < configs.size(); ++i) EXPECT_EQ(scan.configs[i].entries, configs[i]) << text;
    EXPECT_EQ(std::make_pair(scan.config_line, scan.config_column), place) << text;
  }
}

TEST(ScanModel, AsksForCharacterNamesOnlyThroughTheLookupGiven) {
  const std::string text = "{{ ref('\\N{BULLET}') }}";
  cst::Document doc = parse_ok(text);
  EXPECT_EQ(scan_model(doc, text).refs.at(0).strings, std::nullopt);
  const jinja::CharacterNames names = [](std::string_view name) -> std::optional<char32_t> {
    if (name == "BULLET") return U'\u2022';
    return std::nullopt;
  };
  EXPECT_EQ(scan_model(doc, text, &names).refs.at(0).strings, std::vector<std::string>{"\u2022"});
}

}  // namespace
}  // namespace trelm::query
