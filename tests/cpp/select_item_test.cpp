#include "query/select_item.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "parser/parse.hpp"
#include "parser/select_items.hpp"
#include "query/navigation.hpp"
#include "support/tiny_tree.hpp"
#include "tree/print.hpp"

namespace trelm::query {
namespace {

using cst::Children;
using testing::build;
using cst::NodeTag;
using cst::Token;
using cst::TokenKind;


TEST(TinyBuilderTest, CoversEveryByteAndNestsBrackets) {
  const std::string src = "count(*) AS \"a\"\"b\" -- c\n, arr[1] {{ x }}";
  Children children = build(src);
  std::string printed;
  cst::print_children(children, printed);
  EXPECT_EQ(printed, src);
  EXPECT_TRUE(children[1].is_node_tag(NodeTag::Paren));
}

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
      {"t.amount dollars", "dollars", "t.amount", "dollars"},
      {"t.amount", std::nullopt, "t.amount", "amount"},
      {"\"Order Id\"", std::nullopt, "\"Order Id\"", "Order Id"},
      // The alias comes back as written; the name collapses the doubled quote.
      {"amount / 100 AS \"Dollars\"\"\"", "\"Dollars\"\"\"", "amount / 100", "Dollars\""},
      {"amount / 100", std::nullopt, "amount / 100", std::nullopt},
      {"count(*) n", "n", "count(*)", "n"},
      {"count(*)", std::nullopt, "count(*)", std::nullopt},
      {"arr[1] first_item", "first_item", "arr[1]", "first_item"},
      {"'a' label", "label", "'a'", "label"},
      {"1 one", "one", "1", "one"},
      {"\"q\" r", "r", "\"q\"", "r"},
      {"a b", "b", "a", "b"},
      {"a \"Quoted Alias\"", "\"Quoted Alias\"", "a", "Quoted Alias"},
      // Final words are never a bare alias, but may follow AS.
      {"x is null", std::nullopt, "x is null", std::nullopt},
      {"a desc", std::nullopt, "a desc", std::nullopt},
      {"a DESC", std::nullopt, "a DESC", std::nullopt},
      {"flag = true", std::nullopt, "flag = true", std::nullopt},
      {"case when a then b end", std::nullopt, "case when a then b end", std::nullopt},
      {"x AS null", "null", "x", "null"},
      {"a \"null\"", "\"null\"", "a", "null"},
      // Preceding words keep the last word inside the expression.
      {"x is y", std::nullopt, "x is y", std::nullopt},
      {"a between b", std::nullopt, "a between b", std::nullopt},
      {"interval day", std::nullopt, "interval day", std::nullopt},
      {"a Or b", std::nullopt, "a Or b", std::nullopt},
      {"at time zone utc", std::nullopt, "at time zone utc", std::nullopt},
      // Operators before the last child: no alias.
      {"a || b", std::nullopt, "a || b", std::nullopt},
      {"x::int", std::nullopt, "x::int", std::nullopt},
      {"a.b", std::nullopt, "a.b", "b"},
      {"\"A\".\"b\"\"c\"", std::nullopt, "\"A\".\"b\"\"c\"", "b\"c"},
      {"`x`", std::nullopt, "`x`", "x"},
      {"t.*", std::nullopt, "t.*", std::nullopt},
      {"*", std::nullopt, "*", std::nullopt},
      {"t.", std::nullopt, "t.", std::nullopt},
      {"t . \"x\"", std::nullopt, "t . \"x\"", "x"},
      {"1", std::nullopt, "1", std::nullopt},
      {"'s'", std::nullopt, "'s'", std::nullopt},
      // Only two significant children: "as" is taken as a bare alias.
      {"x as", "as", "x", "as"},
      {"as x", std::nullopt, "as x", std::nullopt},
      {"count(*) AS", "AS", "count(*)", "AS"},
      // Trivia between the parts changes nothing; it is trimmed from expr.
      {"a -- note\n AS b", "b", "a", "b"},
      {"a /* c */ b", "b", "a", "b"},
      {"a -- trailing", std::nullopt, "a", "a"},
      {"/* lead */ a", std::nullopt, "/* lead */ a", "a"},
      {"", std::nullopt, "", std::nullopt},
      {"-- only", std::nullopt, "", std::nullopt},
      // Jinja.
      {"{{ col }}", std::nullopt, "{{ col }}", std::nullopt, true},
      {"{{ col }} AS c", "c", "{{ col }}", "c", true},
      {"{{ col }} renamed", "renamed", "{{ col }}", "renamed", true},
      {"{# c #} a", std::nullopt, "{# c #} a", "a", true},
      {"coalesce(a, {{ b }}) x", "x", "coalesce(a, {{ b }})", "x", true},
      {"{% if x %}", std::nullopt, "{% if x %}", std::nullopt, true},
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
    EXPECT_TRUE(at.is_keyword("as") || (at.is_token() && at.token().text == parts->alias));
  }
  EXPECT_EQ(item_expr(item), c.expr);
  EXPECT_EQ(item_name(item), c.name);
  EXPECT_EQ(item_is_templated(item), c.templated);
}

TEST(SelectItemTest, AnalysesHandBuiltItems) {
  for (const ItemCase& c : item_cases()) {
    SCOPED_TRACE("item: " + c.item);
    expect_analysis(build(c.item), c);
  }
}

TEST(SelectItemTest, AnalysesStandAloneParsedItems) {
  for (const ItemCase& c : item_cases()) {
    SCOPED_TRACE("item: " + c.item);
    auto parsed = parser::parse_select_item(c.item);
    if (std::holds_alternative<parser::ParseError>(parsed)) {
      EXPECT_TRUE(c.item.empty()) << std::get<parser::ParseError>(parsed).message;
      continue;
    }
    const cst::NodeRef& node = std::get<cst::NodeRef>(parsed);
    auto lock = node->read_lock();
    expect_analysis(node->children, c);
  }
}

// The item as the parser cuts it out of a whole statement. Rows whose item
// starts or ends with trivia, or holds a statement tag, are cut differently
// there (the trivia stays outside the item), and after a trailing "." the
// word "from" is no keyword; those rows are skipped.
TEST(SelectItemTest, AnalysesItemsOfParsedStatements) {
  std::size_t checked = 0;
  for (const ItemCase& c : item_cases()) {
    Children built = build(c.item);
    if (built.empty() || built.front().is_trivia() || built.back().is_trivia()) continue;
    if (c.item.find("{%") != std::string::npos || c.item.back() == '.') continue;
    SCOPED_TRACE("item: " + c.item);
    auto parsed = parser::parse("select " + c.item + " from t");
    ASSERT_TRUE(std::holds_alternative<cst::Document>(parsed));
    auto q = query(std::get<cst::Document>(parsed));
    ASSERT_TRUE(q.has_value());
    auto select = first_select(*q);
    ASSERT_TRUE(select.has_value());
    std::vector<cst::NodeRef> items;
    {
      auto lock = (*select)->read_lock();
      items = select_items((*select)->children);
    }
    ASSERT_EQ(items.size(), 1u);
    auto lock = items[0]->read_lock();
    expect_analysis(items[0]->children, c);
    ++checked;
  }
  EXPECT_GT(checked, item_cases().size() / 2);
}

TEST(SelectItemTest, ExpressionEndIsTheFirstChildAfterTheExpression) {
  struct Case {
    std::string item;
    std::size_t expr_end;
  };
  const std::vector<Case> cases = {
      {"a AS b", 2},             // "a" " " [AS]
      {"a b", 2},                // "a" " " [b]
      {"x as", 2},               // bare: the alias "as" itself
      {"a -- n\n AS b", 4},      // "a" " " comment "\n " [AS]
      {"count(*) n", 3},         // "count" Paren " " [n]
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item);
    auto parts = alias_parts(build(c.item));
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(parts->expr_end, c.expr_end);
  }
}

TEST(SelectItemTest, WordListsDecideBareAliases) {
  const std::vector<std::string> preceding = {
      "all",    "and",    "any", "as",       "between", "by",   "case",    "collate", "distinct",
      "else",   "escape", "exists", "ilike", "in",      "interval", "is",  "like",    "not",
      "on",     "or",     "over", "similar", "some",    "then", "when",    "zone"};
  for (const std::string& w : preceding) {
    SCOPED_TRACE(w);
    EXPECT_FALSE(alias_parts(build(w + " y")).has_value());
    std::string upper = w;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_FALSE(alias_parts(build(upper + " y")).has_value());
    // A longer word that merely starts like a listed one does not count.
    EXPECT_TRUE(alias_parts(build(w + "s y")).has_value());
  }
  const std::vector<std::string> finals = {"null", "end", "true", "false", "asc", "desc"};
  for (const std::string& w : finals) {
    SCOPED_TRACE(w);
    EXPECT_FALSE(alias_parts(build("x " + w)).has_value());
    EXPECT_TRUE(alias_parts(build("x " + w + "_1")).has_value());
    auto explicit_alias = alias_parts(build("x AS " + w));
    ASSERT_TRUE(explicit_alias.has_value());
    EXPECT_EQ(explicit_alias->alias, w);
  }
}

TEST(SelectItemTest, TemplatedLooksIntoNestedNodes) {
  Children item = build("f(g([{{ x }}]))");
  EXPECT_TRUE(item_is_templated(item));
  EXPECT_FALSE(item_is_templated(build("f(g(['{{ x }}']))")));
}

TEST(SelectItemTest, NodeAsLastOrInsideReferenceGivesNoName) {
  // A JinjaBlock stand-in: any node that is not a bracket group blocks a
  // bare alias after it and a name.
  Children item;
  item.emplace_back(cst::make_node(NodeTag::JinjaBlock, build("{% if a %}b{% endif %}")));
  item.emplace_back(Token(TokenKind::Whitespace, " "));
  item.emplace_back(Token(TokenKind::Word, "c"));
  EXPECT_FALSE(alias_parts(item).has_value());
  EXPECT_FALSE(item_name(item).has_value());
  EXPECT_TRUE(item_is_templated(item));
}

TEST(UnquoteTest, StripsOnePairAndCollapsesDoubledQuotes) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"\"", "\""},
      {"`", "`"},
      {"\"\"", ""},
      {"``", ""},
      {"\"a\"", "a"},
      {"\"MiXed Case\"", "MiXed Case"},
      {"`x``y`", "x`y"},
      {"\"a\"\"\"\"b\"", "a\"\"b"},  // four inside give two
      {"\"\"\"\"", "\""},
      {"\"\"\"", "\""},               // a lone inner quote stays
      {"\"a\"b\"", "a\"b"},
      {"\"ab\"\"\"", "ab\""},
      {"`a\"\"b`", "a\"\"b"},         // only the enclosing quote collapses
      {"[x]", "[x]"},
      {"'s'", "'s'"},
      {"\"a", "\"a"},
      {"\"a`", "\"a`"},
      {"plain", "plain"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(unquote(c.in), c.out);
  }
}

}  // namespace
}  // namespace trelm::query
