// Grouping: brackets and Jinja blocks become nodes; what does not pair up
// stays as plain tokens, and every input prints back unchanged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lexer/lexer.hpp"
#include "parser/group.hpp"
#include "parser/parse.hpp"
#include "support/tree_dump.hpp"
#include "tree/print.hpp"

namespace trelm {
namespace {

cst::Children grouped(const std::string& text) {
  auto lexed = lexer::lex(text);
  EXPECT_TRUE(std::holds_alternative<std::vector<cst::Token>>(lexed)) << text;
  return parser::group(std::move(std::get<std::vector<cst::Token>>(lexed)));
}

struct GroupCase {
  std::string input;
  std::string shape;
};

TEST(Group, Shapes) {
  const std::vector<GroupCase> cases = {
      {"", ""},
      {"a)", R"x("a" ")")x"},
      {"(a", R"x("(" "a")x"},
      {"[(]", R"x(Bracket["[" "(" "]"])x"},
      {"(a [b] c)", R"x(Paren["(" "a" " " Bracket["[" "b" "]"] " " "c" ")"])x"},
      {"([)]", R"x(Paren["(" "[" ")"] "]")x"},
      {"{% if x %}a{% else %}b{% endif %}",
       R"x(JinjaBlock[JinjaBranch["{% if x %}" "a"] JinjaBranch["{% else %}" "b"] "{% endif %}"])x"},
      {"{% if x %}a{% elif y %}b{% else %}c{% endif %}",
       R"x(JinjaBlock[JinjaBranch["{% if x %}" "a"] JinjaBranch["{% elif y %}" "b"] JinjaBranch["{% else %}" "c"] "{% endif %}"])x"},
      {"{% if x %}a", R"x("{% if x %}" "a")x"},
      {"{% for x in y %}a{% else %}b{% endfor %}",
       R"x(JinjaBlock[JinjaBranch["{% for x in y %}" "a"] JinjaBranch["{% else %}" "b"] "{% endfor %}"])x"},
      {"{% macro m() %}a{% else %}b{% endmacro %}",
       R"x(JinjaBlock[JinjaBranch["{% macro m() %}" "a" "{% else %}" "b"] "{% endmacro %}"])x"},
      {"{% if x %}({% endif %})", R"x("{% if x %}" Paren["(" "{% endif %}" ")"])x"},
      {"{% set y %}x{% endset %}", R"x(JinjaBlock[JinjaBranch["{% set y %}" "x"] "{% endset %}"])x"},
      {"{% set y = 1 %}", R"x("{% set y = 1 %}")x"},
      // A closing bracket reaches across open blocks and dissolves them.
      {"({% if a %}x){% endif %}", R"x(Paren["(" "{% if a %}" "x" ")"] "{% endif %}")x"},
      // An end tag without an open block, a branch tag outside one.
      {"{% endif %}{% else %}", R"x("{% endif %}" "{% else %}")x"},
      // Block names are case-sensitive and come from "end" tags of the file.
      {"{% IF x %}a{% endif %}", R"x("{% IF x %}" "a" "{% endif %}")x"},
      {"{% foo %}a{% endfoo %}", R"x(JinjaBlock[JinjaBranch["{% foo %}" "a"] "{% endfoo %}"])x"},
      {"{%- if x -%}a{%- endif -%}", R"x(JinjaBlock[JinjaBranch["{%- if x -%}" "a"] "{%- endif -%}"])x"},
      // Nested blocks; the inner else belongs to the inner if.
      {"{% if a %}{% if b %}x{% else %}y{% endif %}{% endif %}",
       R"x(JinjaBlock[JinjaBranch["{% if a %}" JinjaBlock[JinjaBranch["{% if b %}" "x"] JinjaBranch["{% else %}" "y"] "{% endif %}"]] "{% endif %}"])x"},
      // An else skips a macro frame (which takes no branch) and dissolves it.
      {"{% if a %}{% macro m %}x{% else %}y{% endif %}{% endmacro %}",
       R"x(JinjaBlock[JinjaBranch["{% if a %}" "{% macro m %}" "x"] JinjaBranch["{% else %}" "y"] "{% endif %}"] "{% endmacro %}")x"},
      // Unclosed frames at the end keep their order.
      {"( [ {% if a %} x", R"x("(" " " "[" " " "{% if a %}" " " "x")x"},
      // Branch and end tags never reach across an open bracket.
      {"{% if a %}({% else %}b{% endif %}", R"x("{% if a %}" "(" "{% else %}" "b" "{% endif %}")x"},
  };
  for (const GroupCase& c : cases) {
    cst::Children children = grouped(c.input);
    EXPECT_EQ(testing::dump(children), c.shape) << "input: " << c.input;
    std::string printed;
    cst::print_children(children, printed);
    EXPECT_EQ(printed, c.input);
  }
}

TEST(Group, ParenQueryCheck) {
  const std::vector<GroupCase> cases = {
      {"(1 + 2)", R"x(Paren["(" "1" " " "+" " " "2" ")"])x"},
      {"( select 1 -- c\n )",
       R"x(Paren["(" " " Query[Clause(SELECT)["select" " " SelectItem["1"] " " "-- c"]] "\n " ")"])x"},
      {"(t.select)", R"x(Paren["(" "t" "." "select" ")"])x"},
      {"[select 1]", R"x(Bracket["[" "select" " " "1" "]"])x"},
  };
  for (const GroupCase& c : cases) EXPECT_EQ(testing::dump(grouped(c.input)), c.shape) << "input: " << c.input;
}

struct ErrorCase {
  std::string input;
  std::string message;
  std::size_t line, column, offset;
};

TEST(Parse, ErrorsCarryLineAndColumnInBytes) {
  const std::vector<ErrorCase> cases = {
      {"select {{ x", "unterminated `{{` tag", 1, 8, 7},
      {"a\n{% if", "unterminated `{%` tag", 2, 1, 2},
      {"a\n{# b", "unterminated `{#` comment", 2, 1, 2},
      {"\xc3\xa9 {{", "unterminated `{{` tag", 1, 4, 3},
      {"{{", "unterminated `{{` tag", 1, 1, 0},
      {"x\r\n\r\n  {% raw %}", "unterminated `{% raw %}` block", 3, 3, 7},
  };
  for (const ErrorCase& c : cases) {
    auto result = parser::parse(c.input);
    ASSERT_TRUE(std::holds_alternative<parser::ParseError>(result)) << c.input;
    const auto& e = std::get<parser::ParseError>(result);
    EXPECT_EQ(e.message, c.message) << c.input;
    EXPECT_EQ(e.line, c.line) << c.input;
    EXPECT_EQ(e.column, c.column) << c.input;
    EXPECT_EQ(e.offset, c.offset) << c.input;
  }
}

TEST(ErrorAt, CountsLineFeedsOnly) {
  auto e = parser::error_at("ab\ncd", 4, "m");
  EXPECT_EQ(e.line, 2u);
  EXPECT_EQ(e.column, 2u);
  e = parser::error_at("a\rb", 2, "m");  // a carriage return alone is no line break
  EXPECT_EQ(e.line, 1u);
  EXPECT_EQ(e.column, 3u);
}

// Deep inputs: grouping, printing and destruction must not recurse per level.
TEST(Group, DeepNestingPrintsBackAndFrees) {
  const std::size_t depth = 1'000'000;
  for (char open : {'(', '['}) {
    char close = open == '(' ? ')' : ']';
    for (bool closed : {true, false}) {
      std::string text(depth, open);
      if (closed) text += std::string(depth, close);
      {
        auto result = parser::parse(text);
        ASSERT_TRUE(std::holds_alternative<cst::Document>(result));
        EXPECT_EQ(cst::document_text(std::get<cst::Document>(result)), text);
      }  // the whole tree is freed here
    }
  }
}

TEST(Group, DeepJinjaBlocks) {
  const std::size_t depth = 100'000;
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "{% if x %}";
  text += "select a, b";
  for (std::size_t i = 0; i < depth; ++i) text += "{% endif %}";
  auto result = parser::parse(text);
  ASSERT_TRUE(std::holds_alternative<cst::Document>(result));
  EXPECT_EQ(cst::document_text(std::get<cst::Document>(result)), text);
}

// Many closers or end tags with nothing to match must not rescan the stack.
TEST(Group, UnmatchedClosersStayPlain) {
  std::string text = std::string(200'000, '[') + std::string(200'000, ')') +
                     "{% if a %}{% endif %}{% for b %}{% endfor %}";
  for (int i = 0; i < 100'000; ++i) text += "{% if a %}";
  for (int i = 0; i < 100'000; ++i) text += "{% endfor %}";
  auto result = parser::parse(text);
  ASSERT_TRUE(std::holds_alternative<cst::Document>(result));
  EXPECT_EQ(cst::document_text(std::get<cst::Document>(result)), text);
}

}  // namespace
}  // namespace trelm
