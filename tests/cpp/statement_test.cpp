#include "parser/statement.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "parser/parse.hpp"
#include "support/tree_dump.hpp"
#include "tree/print.hpp"

namespace trelm::parser {
namespace {

using cst::Child;
using cst::Children;
using cst::NodeTag;
using cst::Token;
using cst::TokenKind;


struct DumpCase {
  std::string_view input;
  std::string_view expected;  // dump of the Root's children
};

// Parses `text`, checks that it prints back unchanged, and dumps the root.
std::string root_dump(std::string_view text) {
  ParseResult result = parse(text);
  if (auto* err = std::get_if<ParseError>(&result)) return "error: " + err->message;
  const cst::Document& doc = std::get<cst::Document>(result);
  EXPECT_EQ(cst::document_text(doc), text);
  auto lock = doc.root->read_lock();
  return trelm::testing::dump(doc.root->children);
}

TEST(StatementStructure, FindsQueriesInStatementLists) {
  const std::vector<DumpCase> cases = {
      {"", ""},
      {"select 1", R"d(Query[Clause(SELECT)["select" " " SelectItem["1"]]])d"},
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
  for (const DumpCase& c : cases) {
    EXPECT_EQ(root_dump(c.input), c.expected) << "input: " << c.input;
  }
}

std::string repeat(std::string_view piece, std::size_t n) {
  std::string out;
  out.reserve(piece.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += piece;
  return out;
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
    ParseResult result = parse(c.text);
    ASSERT_TRUE(std::holds_alternative<cst::Document>(result)) << c.name;
    cst::NodeRef node = std::get<cst::Document>(result).root;
    for (std::size_t index : c.path) {
      auto lock = node->read_lock();
      ASSERT_TRUE(node->children.at(index).is_node()) << c.name;
      cst::NodeRef next = node->children[index].node();
      node = std::move(next);
    }
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

TEST(StatementStructure, SameLineEndTakesOnlySameLineComments) {
  struct Case {
    std::string_view name;
    Children children;
    std::size_t end;
    std::size_t last;
    std::size_t expected;
  };
  std::vector<Case> cases;
  cases.push_back({"nothing follows", {word("a")}, 1, 0, 1});
  cases.push_back({"spaces alone are not taken", {word("a"), space("  ")}, 2, 0, 1});
  cases.push_back({"comments and spaces before them",
                   {word("a"), space(" "), Token(TokenKind::BlockComment, "/* x */"), space("\t"),
                    Token(TokenKind::LineComment, "-- y")},
                   5, 0, 5});
  cases.push_back({"a Jinja comment counts", {word("a"), Token(TokenKind::JinjaComment, "{# c #}")}, 2, 0, 2});
  cases.push_back({"a carriage return is no line break",
                   {word("a"), space(" \r "), Token(TokenKind::LineComment, "-- c")}, 3, 0, 3});
  cases.push_back({"stops at a line break",
                   {word("a"), space(" \n"), Token(TokenKind::LineComment, "-- c")}, 3, 0, 1});
  cases.push_back({"a multi-line comment is not taken",
                   {word("a"), Token(TokenKind::BlockComment, "/* x\n */"), Token(TokenKind::LineComment, "--")},
                   3, 0, 1});
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

TEST(StatementStructure, StartsQueryLooksAtTheWordAndWhatPrecedesIt) {
  struct Case {
    std::string_view name;
    Children children;
    std::size_t i;
    bool expected;
  };
  std::vector<Case> cases;
  cases.push_back({"select", {word("SeLeCt")}, 0, true});
  cases.push_back({"with", {word("WITH")}, 0, true});
  cases.push_back({"other word", {word("selects")}, 0, false});
  cases.push_back({"quoted", {Token(TokenKind::QuotedIdentifier, "\"select\"")}, 0, false});
  cases.push_back({"after a dot and space", {word("t"), Token(TokenKind::Other, "."), space(" "), word("with")}, 3,
                   false});
  cases.push_back({"after another operator", {word("t"), Token(TokenKind::Other, ":"), word("select")}, 2, true});
  cases.push_back({"after a node", {cst::make_node(cst::NodeTag::Paren, {}), word("select")}, 1, true});
  for (const Case& c : cases) {
    EXPECT_EQ(starts_query(c.children, c.i), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace trelm::parser
