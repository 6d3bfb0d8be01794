#include "query/select_item.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "parser/select_items.hpp"
#include "query/navigation.hpp"
#include "support/parsed.hpp"

namespace trelm::query {
namespace {

using cst::Children;
using testing::grouped;

struct ItemCase {
  std::string item;
  std::optional<std::string> alias;
  std::string expr;
  std::optional<std::string> name;
  bool templated = false;
};

const std::vector<ItemCase>& item_cases() {
  static const std::vector<ItemCase> cases = {
      // Explicit and bare aliases over a qualified reference.
      {"t.amount AS dollars", "dollars", "t.amount", "dollars"},
      {"t.amount dollars", "dollars", "t.amount", "dollars"}, {"t.amount", std::nullopt, "t.amount", "amount"},
      {"\"Order Id\"", std::nullopt, "\"Order Id\"", "Order Id"},
      // The alias comes back as written; the name collapses the doubled quote.
      {"amount / 100 AS \"Dollars\"\"\"", "\"Dollars\"\"\"", "amount / 100", "Dollars\""},
      {"amount / 100", std::nullopt, "amount / 100", std::nullopt},
      {"count(*)", std::nullopt, "count(*)", std::nullopt},
      // A bare alias after each kind of child that allows one.
      {"count(*) n", "n", "count(*)", "n"}, {"arr[1] first_item", "first_item", "arr[1]", "first_item"},
      {"'a' label", "label", "'a'", "label"}, {"1 one", "one", "1", "one"}, {"\"q\" r", "r", "\"q\"", "r"},
      {"{{ col }} renamed", "renamed", "{{ col }}", "renamed", true},
      {"a \"Quoted Alias\"", "\"Quoted Alias\"", "a", "Quoted Alias"},
      // Final words are never a bare alias, but may follow AS or be quoted.
      {"x is null", std::nullopt, "x is null", std::nullopt}, {"a DESC", std::nullopt, "a DESC", std::nullopt},
      {"x AS null", "null", "x", "null"}, {"a \"null\"", "\"null\"", "a", "null"},
      // Words are matched whole: a longer word is an ordinary one.
      {"ands y", "y", "ands", "y"}, {"x null_1", "null_1", "x", "null_1"},
      // Preceding words keep the last word inside the expression; operators too.
      {"a Or b", std::nullopt, "a Or b", std::nullopt}, {"x::int", std::nullopt, "x::int", std::nullopt},
      {"\"A\".\"b\"\"c\"", std::nullopt, "\"A\".\"b\"\"c\"", "b\"c"}, {"t.*", std::nullopt, "t.*", std::nullopt},
      {"*", std::nullopt, "*", std::nullopt}, {"t.", std::nullopt, "t.", std::nullopt},
      {"t . \"x\"", std::nullopt, "t . \"x\"", "x"}, {"1", std::nullopt, "1", std::nullopt},
      // Only two significant children: "as" is taken as a bare alias.
      {"x as", "as", "x", "as"}, {"as x", std::nullopt, "as x", std::nullopt},
      // Trivia between the parts changes nothing; it is trimmed from expr.
      {"a -- note\n AS b", "b", "a", "b"}, {"a /* c */ b", "b", "a", "b"}, {"a -- trailing", std::nullopt, "a", "a"},
      {"/* lead */ a", std::nullopt, "/* lead */ a", "a"}, {"", std::nullopt, "", std::nullopt},
      {"-- only", std::nullopt, "", std::nullopt},
      // Jinja, also inside nested brackets; a node other than a bracket blocks alias and name.
      {"{{ col }}", std::nullopt, "{{ col }}", std::nullopt, true},
      {"{# c #} a", std::nullopt, "{# c #} a", "a", true},
      {"coalesce(a, {{ b }}) x", "x", "coalesce(a, {{ b }})", "x", true},
      {"f(g([{{ x }}]))", std::nullopt, "f(g([{{ x }}]))", std::nullopt, true},
      {"f(g(['{{ x }}']))", std::nullopt, "f(g(['{{ x }}']))", std::nullopt, false},
      {"{% if x %}", std::nullopt, "{% if x %}", std::nullopt, true},
      {"{% if a %}b{% endif %} c", std::nullopt, "{% if a %}b{% endif %} c", std::nullopt, true},
      {"'{{ x }}' -- {{ y }}", std::nullopt, "'{{ x }}'", std::nullopt, false},
  };
  return cases;
}

void expect_analysis(const Children& item, const ItemCase& c) {
  auto parts = alias_parts(item);
  ASSERT_EQ(parts.has_value(), c.alias.has_value());
  if (parts) {
    EXPECT_EQ(parts->alias, *c.alias);
    // expr_end points at AS or at the alias itself.
    ASSERT_LT(parts->expr_end, item.size());
    const auto& at = item[parts->expr_end];
    EXPECT_TRUE(at.is_keyword("as") || (at.is_token() && at.token().text() == parts->alias));
  }
  EXPECT_EQ(item_expr(item), c.expr);
  EXPECT_EQ(item_name(item), c.name);
  EXPECT_EQ(item_is_templated(item), c.templated);
}

TEST(SelectItemTest, AnalysesGroupedItems) {
  for (const ItemCase& c : item_cases()) {
    SCOPED_TRACE("item: " + c.item);
    expect_analysis(grouped(c.item), c);
  }
}

// The item as the parser cuts it out of a statement. Rows that start or end
// with trivia or hold a statement tag are cut differently there, and after a
// trailing "." the word "from" is no keyword; those rows are skipped.
TEST(SelectItemTest, AnalysesItemsOfParsedStatements) {
  std::size_t checked = 0;
  for (const ItemCase& c : item_cases()) {
    Children built = grouped(c.item);
    if (built.empty() || built.front().is_trivia() || built.back().is_trivia()) continue;
    if (c.item.find("{%") != std::string::npos || c.item.back() == '.') continue;
    SCOPED_TRACE("item: " + c.item);
    cst::Document doc = testing::parse_ok("select " + c.item + " from t");
    std::vector<cst::NodeRef> items = testing::items_of(testing::first_select(doc));
    ASSERT_EQ(items.size(), 1u);
    auto lock = items[0]->read_lock();
    expect_analysis(items[0]->children, c);
    ++checked;
  }
  EXPECT_GT(checked, item_cases().size() / 2);
}

TEST(UnquoteTest, StripsOnePairAndCollapsesDoubledQuotes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""}, {"\"", "\""}, {"`", "`"}, {"\"\"", ""}, {"``", ""}, {"\"a\"", "a"}, {"\"MiXed Case\"", "MiXed Case"},
      {"`x``y`", "x`y"}, {"\"a\"\"\"\"b\"", "a\"\"b"},  // four inside give two
      {"\"\"\"\"", "\""}, {"\"\"\"", "\""},              // a lone inner quote stays
      {"\"a\"b\"", "a\"b"}, {"\"ab\"\"\"", "ab\""},
      {"`a\"\"b`", "a\"\"b"},  // only the enclosing quote collapses
      {"[x]", "[x]"}, {"'s'", "'s'"}, {"\"a", "\"a"}, {"\"a`", "\"a`"}, {"plain", "plain"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(unquote(in), out) << in;
}

}  // namespace
}  // namespace trelm::query
