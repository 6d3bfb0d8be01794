#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "jinja/syntax_check.hpp"
#include "jinja/template_check.hpp"

namespace trelm::jinja {
namespace {

// Tags the engine accepts, one grammar corner per row; the corners the
// generated templates of the Python agreement test reach are left to it.
TEST(JinjaCheck, AcceptsValidTags) {
  const std::vector<std::string_view> valid = {
      "{{ 'a' \"b\" 'c' }}",              // adjacent strings
      "{{ a.b[0].1[1:2][::3][x, y] }}",   // attributes and subscripts
      "{{ f(1, *a, k=2, **kw,) }}",       // every kind of argument, trailing comma
      "{{ 1 < a <= 2 != b }}",            // comparison chain
      "{{ a, b, }}",                      // a bare tuple
      "{{ {'k': [1, (2,)], } }}",
      "{{ 0b1_0 + 0o7 + 0xF_f + 1_000 + 1.5e-3 + 00 }}",
      "{{ a.b\n}}",
      "{{+ x }}",
      "{% if a, b: %}",                   // a tuple test and the optional colon
      "{% else: %}",
      "{% for () in x %}",
      "{% set ns.total = ns.total + 1 -%}",
      "{% set x | trim | upper %}",
      "{% set a, b = 1, 2 +%}",
      "{% call(x, y=2) m(1) %}",
      "{% filter upper|replace('a', 'b') %}",
      "{% block body scoped required %}",
      "{% include ['a', 'b'] ignore missing without context %}",
      "{% import 'm.sql' as m with context %}",
      "{% with a = 1, (b) = 2 %}",
      "{% with %}",
      "{% autoescape false %}",
      "{% print %}",
      "{% print a, b %}",
      "{% my_extension whatever ] ( %}",  // an unknown tag is accepted as written
  };
  for (std::string_view tag : valid) {
    const TagCheck c = check_tag(tag);
    EXPECT_FALSE(c.problem) << tag << ": " << c.problem->message;
  }
}

// Tags the engine refuses, with the message and where it points.
TEST(JinjaCheck, RefusesBrokenTags) {
  struct Row {
    std::string_view tag;
    std::string_view at;  // the text the problem points at
    std::string_view message;
  };
  const std::vector<Row> rows = {
      {"{{ a b }}", "b", "expected the end of the tag, got `b`"},
      {"{{ ref('a' }}", "}", "unexpected '}', expected ')'"},
      {"{{ }}", "}}", "expected an expression, got the end of the tag"},
      {"{{ a +}}", "}}", "expected an expression, got the end of the tag"},  // "+}}" closes only a statement
      {"{{ [,] }}", ",", "expected an expression, got `,`"},
      {"{{ a[1,] }}", "]", "expected an expression, got `]`"},
      {"{{ f(k=1, 2) }}", "(", "invalid argument order in a call"},
      {"{{ f(**a, *b) }}", "(", "invalid argument order in a call"},
      {"{{ a is b is c }}", "is", "tests cannot be chained with `is`"},
      {"{{ a.(b) }}", "(", "expected a name or a number after `.`, got `(`"},
      {"{{ a ! b }}", "!", "unexpected char '!'"},
      {"{{ 'a\\x1' }}", "'", "truncated \\xXX escape"},
      {"{{ a if }}", "}}", "expected an expression, got the end of the tag"},
      {"{% for x, in y %}", "y", "expected `in`, got `y`"},  // `in` is read as a second target
      {"{% call (f()) %}", "(", "expected `,`, got `(`"},    // the parenthesis opens a signature
      {"{% from 'm' import a, %}", "%}", "expected a name, got the end of the tag"},
      {"{% %}", "%}", "expected a tag name, got the end of the tag"},
      {"{% if a if b else c %}", "if", "expected the end of the tag, got `if`"},
      {"{% for x.y in z %}", ".", "expected `in`, got `.`"},
      {"{% for 1 in z %}", "1", "cannot assign to this expression"},
      {"{% set true = 1 %}", "true", "cannot assign to this expression"},
      {"{% set x = %}", "%}", "expected an expression, got the end of the tag"},
      {"{% macro m(a=1, b) %}", ")", "a parameter without a default follows one with a default"},
      {"{% macro m(a,) %}", ")", "expected a name, got `)`"},
      {"{% call m(1)|f %}", "m", "expected a call after `call`"},
      {"{% block a-b %}", "-", "block names may not contain `-`; use `_` instead"},
      {"{% from 'm' import _private %}", "_private", "names starting with an underscore cannot be imported"},
      {"{% include 'a' ignore %}", "ignore", "expected the end of the tag, got `ignore`"},
      {"{% else x %}", "x", "expected the end of the tag, got `x`"},
      {"{% endif x %}", "x", "expected the end of the tag, got `x`"},
      {"{% do %}", "%}", "expected an expression, got the end of the tag"},
      {"{% raw x %}", "raw", "`raw` takes nothing after it: `{% raw %}`"},
      {"{{ f(a=1, b=2)|g(b=3, b=4) }}", "b=4", "keyword argument `b` is repeated"},  // found when compiled
      {"{{ f(a=1, a=2) b }}", "b", "expected the end of the tag, got `b`"},  // but a parse problem comes first
      {"{% call m(1)(caller=2) %}", "caller", "keyword argument `caller` is repeated: the `call` block passes it"},
      {"{% macro m(a, b=1, a=2) %}", "a=2", "parameter `a` is named twice"},
  };
  for (const Row& row : rows) {
    const TagCheck c = check_tag(row.tag);
    const auto& problem = c.problem ? c.problem : c.compile_problem;
    ASSERT_TRUE(problem) << row.tag;
    EXPECT_EQ(problem->message, row.message) << row.tag;
    EXPECT_EQ(row.tag.substr(problem->start, row.at.size()), row.at) << row.tag;
  }
}

// Nesting is refused past a bound, however deep, and quickly.
TEST(JinjaCheck, DeepNestingIsReportedNotFollowed) {
  for (std::string_view open : {"(", "[", "not ", "-", "f(", "a if b else "}) {
    std::string tag = "{{ ";
    for (int i = 0; i < 100000; ++i) tag += open;
    tag += " }}";
    const TagCheck c = check_tag(tag);
    ASSERT_TRUE(c.problem) << open;
  }
}

// Each end tag finds its block directly, so thousands of open blocks and
// stray end tags cost no search of the open ones.
TEST(JinjaCheck, ManyOpenBlocksAndStrayEndTags) {
  std::string text;
  for (int i = 0; i < 50000; ++i) text += "{% if a %}";
  for (int i = 0; i < 50000; ++i) text += "{% endfor %}";
  text += "{% endif %}";
  const auto problems = check_template(text);
  // The final `endif` closes the innermost `if`; the 49999 around it stay open, and no `for` is.
  ASSERT_EQ(problems.size(), 99999u);
  EXPECT_EQ(problems.front().code, TemplateCode::UnclosedBlock);
  EXPECT_EQ(problems.back().code, TemplateCode::UnmatchedEndTag);
}

std::string codes(std::string_view text) {
  std::string out;
  for (const TemplateProblem& p : check_template(text)) {
    static const char* kNames[] = {"syntax", "unclosed", "unmatched", "misplaced"};
    if (!out.empty()) out += " ";
    ((out += kNames[static_cast<int>(p.code)]) += "@") += std::to_string(p.start);
  }
  return out;
}

TEST(JinjaCheck, PairsBlocks) {
  struct Row {
    std::string_view text;
    std::string_view expected;
  };
  const std::vector<Row> rows = {
      {"{% if a %}x{% elif b %}{% else %}{% endif %}", ""},
      {"{% for x in y %}{% else %}{% endfor %}", ""},
      {"{% set x %}{% endset %}{% set y = 1 %}", ""},
      {"{% if a %}x", "unclosed@0"},
      {"x {% endfor %}", "unmatched@2"},
      {"{% else %}", "misplaced@0"},
      {"{% for x in y %}{% elif z %}{% endfor %}", "misplaced@16"},
      {"{% if a %}{% else %}{% else %}{% endif %}", "misplaced@20"},
      {"{% if a %}{% for x in y %}{% endif %}", "unclosed@10"},
      {"{% block a %}{% endblock b %}", "syntax@13"},
      {"{% raw %}{% if %}{% endraw %}", ""},
      {"{% raw %}{% if %}", "syntax@0"},
      {"-- {{ a b }}\nselect '{% endif %}'", "syntax@8 unmatched@21"},  // the engine reads tags anywhere
      {"{% recipe m %}{% endrecipe %}{% docs %}", ""},  // extension tags pair by name
      {"{# {% if %} #}{{ 'x' }}", ""},
      // What only compiling refuses; a repeated keyword that is a Python word goes in a dict.
      {"{{ f(a=1, class=2, a=3) }}{% for x in y %}{% if a %}{% else %}{% break %}{% endif %}{% endfor %}", ""},
      {"{% for x in y %}{% else %}{% continue %}{% endfor %}", "syntax@26"},
      {"{% for x in y %}{% call m() %}{% break %}{% endcall %}{% endfor %}", "syntax@30"},
      {"{% for x in y %}{% set ns.loop = 1 %}{% set (loop) = 2 %}{% endfor %}", "syntax@37"},
      {"{% block a %}{% endblock %}{% block a %}{% endblock %}", "syntax@27"},
      {"{% if a %}{% extends 'p' %}{% endif %}{% for x in y %}{% extends 'p' %}{% endfor %}", "syntax@54"},
      // Output after a top-level `extends` is compiled only inside blocks, macros and set blocks.
      {"{% extends 'p' %}{{ f(a=1, a=2) }}{% set x %}{{ f(b=1, b=2) }}{% endset %}", "syntax@55"},
      {"{% block a required %} {# c #}\n{% raw %} {% endraw %}{% endblock %}", ""},
      {"{% block a required %} x {% if b %}{% endif %}{% endblock %}", "syntax@23"},
  };
  for (const Row& row : rows) EXPECT_EQ(codes(row.text), row.expected) << row.text;
}

}  // namespace
}  // namespace trelm::jinja
