// Grouping: brackets and Jinja blocks become nodes; what does not pair up
// stays as plain tokens, and every input prints back unchanged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser/statement.hpp"
#include "support/parsed.hpp"

namespace trelm {
namespace {

using testing::grouped;

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
      // Only a paren whose content starts a query holds one.
      {"(t.select)", R"x(Paren["(" "t" "." "select" ")"])x"},
      {"[select 1]", R"x(Bracket["[" "select" " " "1" "]"])x"},
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
      // An else goes to the innermost of an open "if" and an open "for".
      {"{% if a %}{% for x in y %}p{% else %}q{% endfor %}{% endif %}",
       R"x(JinjaBlock[JinjaBranch["{% if a %}" JinjaBlock[JinjaBranch["{% for x in y %}" "p"] JinjaBranch["{% else %}" "q"] "{% endfor %}"]] "{% endif %}"])x"},
      // Once an inner "if" closes, the outer one takes the branch again.
      {"{% if a %}{% if b %}x{% endif %}y{% else %}z{% endif %}",
       R"x(JinjaBlock[JinjaBranch["{% if a %}" JinjaBlock[JinjaBranch["{% if b %}" "x"] "{% endif %}"] "y"] JinjaBranch["{% else %}" "z"] "{% endif %}"])x"},
      // A dissolved block's branches flow back into one branch of its parent.
      {"{% for x in y %}{% if b %}p{% else %}q{% endfor %}{% endif %}",
       R"x(JinjaBlock[JinjaBranch["{% for x in y %}" "{% if b %}" "p" "{% else %}" "q"] "{% endfor %}"] "{% endif %}")x"},
      // A tag without a name has the empty name, which "end" closes.
      {"{% %}a{% end %}", R"x(JinjaBlock[JinjaBranch["{% %}" "a"] "{% end %}"])x"},
      {"{% if a %}{% for x in y %}({% else %}{% endif %}){% endfor %}",
       R"x("{% if a %}" JinjaBlock[JinjaBranch["{% for x in y %}" Paren["(" "{% else %}" "{% endif %}" ")"]] "{% endfor %}"])x"},
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
      {"{{", "unterminated `{{` tag", 1, 1, 0}, {"x\r\n\r\n  {% raw %}", "unterminated `{% raw %}` block", 3, 3, 7},
      {"a\rb {{", "unterminated `{{` tag", 1, 5, 4},  // a carriage return alone is no line break
  };
  for (const ErrorCase& c : cases) {
    auto result = parser::parse(c.input);
    ASSERT_TRUE(std::holds_alternative<parser::ParseError>(result)) << c.input;
    const auto& e = std::get<parser::ParseError>(result);
    EXPECT_EQ(e.message + " " + std::to_string(e.line) + ":" + std::to_string(e.column) + " @" + std::to_string(e.offset),
              c.message + " " + std::to_string(c.line) + ":" + std::to_string(c.column) + " @" + std::to_string(c.offset))
        << c.input;
  }
}

// A parse lexes, groups and structures in one stream, cutting the file at
// top-level ";" and guessing block names from the raw text; it must build
// the tree that grouping all tokens at once and then structuring gives.
TEST(Parse, StreamedTreeEqualsWholeFileGrouping) {
  using testing::repeat;
  const std::string chunk =
      "{{ config(style='table') }}\nwith a as (select x from {{ ref('t') }} -- c\n), b as (select 1)\n"
      "select a.x, (select max(y) from b) as m from a {% if is_backfill() %}where x > 1{% endif %}; ";
  const std::vector<std::string> inputs = {
      // No cut while a frame is open; a frame that never closes dissolves.
      "(select 1; select 2", "select (1; select 2); select 3", "{% if a %}select 1; select 2{% endif %}; select 3",
      "[; select 1 -- c\n;",
      // An end tag inside a string or comment: the guess names a block too
      // many, whose branch tag would dissolve the block inside it, and the
      // file is grouped again.
      "{% if a %}{% macro m %}x{% else %}y{% endmacro %} -- {% endif %}\n",
      "{% if a %}{% for x %}{% elif b %}{% endfor %} /* {% endif %} */; select 2",
      // Quoted end tags that name real blocks too.
      "{% if a %}'{% endif %}'{% else %}b{% endif %}", "select '{% if x %}' ; {% if x %}a{% endif %}",
      // Longer than one batch of tokens, and cut many times.
      repeat(chunk, 300), std::string("(").append(repeat(chunk, 200)),
  };
  for (const std::string& text : inputs) {
    cst::Document doc = testing::parse_ok(text);
    cst::Children whole = testing::grouped(text);
    parser::Scratch scratch;
    cst::Children expected = parser::structure_sequence(parser::slice_of(whole), 0, scratch);
    auto lock = doc.root->read_lock();
    EXPECT_EQ(testing::dump(doc.root->children), testing::dump(expected)) << "input: " << text.substr(0, 200);
  }
  // A lex error after complete statements still fails the parse.
  EXPECT_TRUE(std::holds_alternative<parser::ParseError>(parser::parse(repeat(chunk, 300) + "{{ x")));
}

// Grouping, printing and freeing must not recurse per level of nesting, and
// closers or end tags with nothing to match must not rescan the stack.
TEST(Group, DeepAndUnmatchedInputsPrintBackAndFree) {
  using testing::repeat;
  const std::size_t depth = 1'000'000;
  const std::vector<std::string> inputs = {
      repeat("(", depth) + repeat(")", depth), repeat("(", depth), repeat("[", depth) + repeat("]", depth),
      repeat("[", depth), repeat("{% if x %}", 100'000) + "select a, b" + repeat("{% endif %}", 100'000),
      repeat("[", 200'000) + repeat(")", 200'000) + "{% if a %}{% endif %}{% for b %}{% endfor %}" +
          repeat("{% if a %}", 100'000) + repeat("{% endfor %}", 100'000),
  };
  for (const std::string& text : inputs) testing::parse_ok(text);  // checks the printed text
}

}  // namespace
}  // namespace trelm
