#include "parser/statement.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "support/parsed.hpp"

namespace trelm::parser {
namespace {

using cst::Child;
using cst::Children;
using cst::NodeTag;
using cst::Token;
using cst::TokenKind;
using testing::repeat;

TEST(StatementStructure, FindsQueriesInStatementLists) {
  const std::vector<std::pair<std::string_view, std::string_view>> cases = {
      {"", ""}, {"select 1", R"d(Query[Clause(SELECT)["select" " " SelectItem["1"]]])d"},
      {"select 1;\nselect 2;\n",
       R"d(Query[Clause(SELECT)["select" " " SelectItem["1"]]] ";" "\n" )d"
       R"d(Query[Clause(SELECT)["select" " " SelectItem["2"]]] ";" "\n")d"},
      {"{{ config(a=1) }}\n\nwith a as (select 1) select * from a\n",
       R"d("{{ config(a=1) }}" "\n\n" Query[Clause(WITH)["with" " " Cte["a" " " "as" " " )d"
       R"d(Paren["(" Query[Clause(SELECT)["select" " " SelectItem["1"]]] ")"]]] " " )d"
       R"d(Clause(SELECT)["select" " " SelectItem["*"]] " " Clause(FROM)["from" " " "a"]] "\n")d"},
      // Same-line comments join the query; anything after a line break does not.
      {"select 1 -- one\n", R"d(Query[Clause(SELECT)["select" " " SelectItem["1"] " " "-- one"]] "\n")d"},
      {"select 1\n-- one\n", R"d(Query[Clause(SELECT)["select" " " SelectItem["1"]]] "\n" "-- one" "\n")d"},
      {"select 1 /* a\nb */", R"d(Query[Clause(SELECT)["select" " " SelectItem["1"]]] " " "/* a\nb */")d"},
      {"select 1 /* a */ {# b #}",
       R"d(Query[Clause(SELECT)["select" " " SelectItem["1"] " " "/* a */" " " "{# b #}"]])d"},
      {"select 1 \r-- a\n", R"d(Query[Clause(SELECT)["select" " " SelectItem["1"] " \r" "-- a"]] "\n")d"},
      {"create table t as select 1",
       R"d("create" " " "table" " " "t" " " "as" " " Query[Clause(SELECT)["select" " " SelectItem["1"]]])d"},
      {"select a.select from t",
       R"d(Query[Clause(SELECT)["select" " " SelectItem["a" "." "select"]] " " Clause(FROM)["from" " " "t"]])d"},
      {"update t set a = 1", R"d("update" " " "t" " " "set" " " "a" " " "=" " " "1")d"},
      {"t.select x . with", R"d("t" "." "select" " " "x" " " "." " " "with")d"},
      {"\"select\" 1", R"d("\"select\"" " " "1")d"},
      // Only a "." keeps a word from starting a query; other operators and nodes do not.
      {"selects x:select 1", R"d("selects" " " "x" ":" Query[Clause(SELECT)["select" " " SelectItem["1"]]])d"},
      {"(a)select 1", R"d(Paren["(" "a" ")"] Query[Clause(SELECT)["select" " " SelectItem["1"]]])d"},
      {"{% if x %}select 1{% else %}select 2{% endif %}",
       R"d(JinjaBlock[JinjaBranch["{% if x %}" Query[Clause(SELECT)["select" " " SelectItem["1"]]]] )d"
       R"d(JinjaBranch["{% else %}" Query[Clause(SELECT)["select" " " SelectItem["2"]]]] "{% endif %}"])d"},
      {"select 1 select 2",
       R"d(Query[Clause(SELECT)["select" " " SelectItem["1"]] " " Clause(SELECT)["select" " " SelectItem["2"]]])d"},
      {"SELECT 1; With", R"d(Query[Clause(SELECT)["SELECT" " " SelectItem["1"]]] ";" " " Query[Clause(WITH)["With"]])d"},
      // A ";" inside a bracket does not end the query.
      {"select (a; b) ; x",
       R"d(Query[Clause(SELECT)["select" " " SelectItem[Paren["(" "a" ";" " " "b" ")"]]]] " " ";" " " "x")d"},
      // Text between a ";" and the next keyword is loose; a "." right after
      // the ";" keeps the next word from starting a query.
      {"select 1; drop t; select 2",
       R"d(Query[Clause(SELECT)["select" " " SelectItem["1"]]] ";" " " "drop" " " "t" ";" " " )d"
       R"d(Query[Clause(SELECT)["select" " " SelectItem["2"]]])d"},
      {"select 1;. select 2", R"d(Query[Clause(SELECT)["select" " " SelectItem["1"]]] ";" "." " " "select" " " "2")d"},
      {";;select 1;;", R"d(";" ";" Query[Clause(SELECT)["select" " " SelectItem["1"]]] ";" ";")d"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(testing::root_dump(input), expected) << input;
}

// Wide inputs: a quadratic step anywhere would take minutes here.
TEST(StatementStructure, WideInputsStayLinear) {
  constexpr std::size_t kWidth = 200000;
  struct Case {
    std::string_view name;
    std::string text;
    NodeTag counted;               // nodes of this kind among the counted children
    std::vector<std::size_t> path;  // from the root to the node whose children are counted
    std::size_t expected;
  };
  const std::vector<Case> cases = {
      {"statements", repeat("select 1;\n", kWidth), NodeTag::Query, {}, kWidth},
      {"set operations", repeat("select 1 union ", kWidth) + "select 2", NodeTag::Clause, {0}, 2 * kWidth + 1},
      {"select items", "select " + repeat("a, ", kWidth) + "b", NodeTag::SelectItem, {0, 0}, kWidth + 1},
      {"separator blocks", "select a" + repeat("{% if x %}, b{% endif %}", kWidth), NodeTag::JinjaBlock, {0, 0},
       kWidth},
  };
  for (const Case& c : cases) {
    cst::Document doc = testing::parse_ok(c.text);
    cst::NodeRef node = testing::child_at(doc.root, c.path);
    ASSERT_TRUE(node) << c.name;
    std::size_t count = 0;
    {
      auto lock = node->read_lock();
      for (const Child& child : node->children) count += child.is_node_tag(c.counted) ? 1 : 0;
    }
    EXPECT_EQ(count, c.expected) << c.name;
  }
}

Child word(std::string_view text) { return Token(TokenKind::Word, text); }
Child space(std::string_view text) { return Token(TokenKind::Whitespace, text); }

// Which comments count as same-line is shown by the dumps above; these rows
// cover the bounds.
TEST(StatementStructure, SameLineEndStaysInItsBounds) {
  struct Case {
    std::string_view name;
    Children children;
    std::size_t end, last, expected;
  };
  std::vector<Case> cases;
  cases.push_back({"nothing follows", {word("a")}, 1, 0, 1});
  cases.push_back({"spaces alone are not taken", {word("a"), space("  ")}, 2, 0, 1});
  cases.push_back({"stops at a significant token",
                   {word("a"), space(" "), word("b"), Token(TokenKind::LineComment, "-- c")}, 4, 0, 1});
  cases.push_back({"stops at a node",
                   {word("a"), cst::make_node(cst::NodeTag::Paren, {}), Token(TokenKind::LineComment, "--")}, 3, 0,
                   1});
  cases.push_back({"never walks past the bound",
                   {word("a"), Token(TokenKind::LineComment, "-- c"), Token(TokenKind::LineComment, "-- d")}, 2, 0,
                   2});
  cases.push_back({"starts after last", {word("a"), word("b"), Token(TokenKind::LineComment, "-- c")}, 3, 1, 3});
  for (const Case& c : cases) {
    EXPECT_EQ(same_line_end(c.children, c.end, c.last), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace trelm::parser
