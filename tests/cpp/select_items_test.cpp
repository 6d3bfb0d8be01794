#include "parser/select_items.hpp"

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
using cst::NodeRef;
using cst::NodeTag;
using cst::Token;
using cst::TokenKind;
using testing::repeat;

// Each row: the dump of the SELECT clause's children after its keyword.
TEST(SelectListSplit, DividesSelectAndWithLists) {
  const std::vector<std::pair<std::string_view, std::string_view>> cases = {
      {"select a, b as c -- note", R"d(" " SelectItem["a"] "," " " SelectItem["b" " " "as" " " "c"] " " "-- note")d"},
      {"select\n  a,\n  {% if x %}b,{% endif %}\n  c",
       R"d("\n  " SelectItem["a"] "," "\n  " JinjaBlock[JinjaBranch["{% if x %}" "b" ","] "{% endif %}"] "\n  " )d"
       R"d(SelectItem["c"])d"},
      {"select a,, b", R"d(" " SelectItem["a"] "," "," " " SelectItem["b"])d"},
      {"select a, /* gone */ , b", R"d(" " SelectItem["a"] "," " " "/* gone */" " " "," " " SelectItem["b"])d"},
      {"select a /* in */ + b, c", R"d(" " SelectItem["a" " " "/* in */" " " "+" " " "b"] "," " " SelectItem["c"])d"},
      {"select f(a, b), c", R"d(" " SelectItem["f" Paren["(" "a" "," " " "b" ")"]] "," " " SelectItem["c"])d"},
      {"select a,", R"d(" " SelectItem["a"] ",")d"},
      // Statement tags alone make no item; with anything else they do.
      {"select a, {% set x = 1 %} b", R"d(" " SelectItem["a"] "," " " SelectItem["{% set x = 1 %}" " " "b"])d"},
      {"select a, {% raw %}x{% endraw %}", R"d(" " SelectItem["a"] "," " " SelectItem["{% raw %}x{% endraw %}"])d"},
      {"select a, {% set x = 1 %}", R"d(" " SelectItem["a"] "," " " "{% set x = 1 %}")d"},
      {"select a, {% if x %}{% endif %}",
       R"d(" " SelectItem["a"] "," " " JinjaBlock[JinjaBranch["{% if x %}"] "{% endif %}"])d"},
      {"select a, {% if x %} {% if y %}{# c #}{% endif %}{% else %}--\n{% endif %}",
       R"d(" " SelectItem["a"] "," " " JinjaBlock[JinjaBranch["{% if x %}" " " JinjaBlock[JinjaBranch["{% if y %}" )d"
       R"d("{# c #}"] "{% endif %}"]] JinjaBranch["{% else %}" "--" "\n"] "{% endif %}"])d"},
      {"select a, {% if x %}{{ y }}{% endif %}",
       R"d(" " SelectItem["a"] "," " " SelectItem[JinjaBlock[JinjaBranch["{% if x %}" "{{ y }}"] "{% endif %}"]])d"},
      // Separator blocks: a branch body that starts or ends with a comma, or
      // holds just one block that is a separator itself.
      {"select a {% if x %}, b{% endif %}",
       R"d(" " SelectItem["a"] " " JinjaBlock[JinjaBranch["{% if x %}" "," " " "b"] "{% endif %}"])d"},
      {"select {% for c in cols %}{{ c }},{% endfor %} a",
       R"d(" " JinjaBlock[JinjaBranch["{% for c in cols %}" "{{ c }}" ","] "{% endfor %}"] " " SelectItem["a"])d"},
      {"select a{% if x %} {% else %}, b{% endif %}",
       R"d(" " SelectItem["a"] JinjaBlock[JinjaBranch["{% if x %}" " "] JinjaBranch["{% else %}" "," " " "b"] )d"
       R"d("{% endif %}"])d"},
      {"select a{% if x %} {% if y %}, b{% endif %} {% endif %}",
       R"d(" " SelectItem["a"] JinjaBlock[JinjaBranch["{% if x %}" " " JinjaBlock[JinjaBranch["{% if y %}" "," " " )d"
       R"d("b"] "{% endif %}"] " "] "{% endif %}"])d"},
      {"select {% if x %}b{% endif %}", R"d(" " SelectItem[JinjaBlock[JinjaBranch["{% if x %}" "b"] "{% endif %}"]])d"},
      {"select {% if x %}(a, b){% endif %}",
       R"d(" " SelectItem[JinjaBlock[JinjaBranch["{% if x %}" Paren["(" "a" "," " " "b" ")"]] "{% endif %}"]])d"},
      {"select {% if x %}a {% if y %}, b{% endif %}{% endif %}",
       R"d(" " SelectItem[JinjaBlock[JinjaBranch["{% if x %}" "a" " " JinjaBlock[JinjaBranch["{% if y %}" "," " " )d"
       R"d("b"] "{% endif %}"]] "{% endif %}"]])d"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(testing::root_dump(input), "Query[Clause(SELECT)[\"select\" " + std::string(expected) + "]]") << input;
  }
}

struct SelectItemCase {
  std::string_view input;
  std::string_view expected;  // dump of the SelectItem node
};

TEST(SelectItemParse, AcceptsOneItem) {
  const std::vector<SelectItemCase> cases = {
      {"  a + 1 as total  ", R"d(SelectItem["a" " " "+" " " "1" " " "as" " " "total"])d"},
      {"coalesce(a, b)", R"d(SelectItem["coalesce" Paren["(" "a" "," " " "b" ")"]])d"},
      {"(select max(x) from t) as m",
       R"d(SelectItem[Paren["(" Query[Clause(SELECT)["select" " " SelectItem["max" Paren["(" "x" ")"]]] " " )d"
       R"d(Clause(FROM)["from" " " "t"]] ")"] " " "as" " " "m"])d"},
      {"t.from", R"d(SelectItem["t" "." "from"])d"}, {"order", R"d(SelectItem["order"])d"},
      {"-- only a comment", R"d(SelectItem["-- only a comment"])d"},
      {"a /* x */", R"d(SelectItem["a" " " "/* x */"])d"}, {"{{ col }}", R"d(SelectItem["{{ col }}"])d"},
      {"$1 / 2", R"d(SelectItem["$" "1" " " "/" " " "2"])d"},
      {"{% if x %}a, b{% endif %}", R"d(SelectItem[JinjaBlock[JinjaBranch["{% if x %}" "a" "," " " "b"] "{% endif %}"]])d"},
      // Unicode whitespace around the text is trimmed: NBSP, ideographic
      // space, line separator, next line.
      {"\u00a0\u3000a\u2028\xc2\x85", R"d(SelectItem["a"])d"}, {"\t\r\n a \n", R"d(SelectItem["a"])d"},
      // A non-whitespace character that ends in a continuation byte stays.
      {"a\u00e9", "SelectItem[\"a\u00e9\"]"}, {"select", "error"},
  };
  for (const SelectItemCase& c : cases) {
    SelectItemResult result = parse_select_item(c.input);
    if (c.expected == "error") {
      EXPECT_TRUE(std::holds_alternative<ParseError>(result)) << c.input;
      continue;
    }
    if (auto* err = std::get_if<ParseError>(&result)) {
      ADD_FAILURE() << "input: " << c.input << " refused: " << err->message;
      continue;
    }
    EXPECT_EQ(trelm::testing::dump(std::get<NodeRef>(result)), c.expected) << "input: " << c.input;
  }
}

TEST(SelectItemParse, RefusesWhatIsNotOneItem) {
  const std::string_view kEmpty = "a select item cannot be empty";
  const std::string_view kSeparator = "a select item cannot contain a top level `,` or `;`";
  const std::string_view kClause = "a select item cannot contain a clause keyword";
  struct Case {
    std::string_view input;
    std::string_view message;
    std::size_t offset;
    std::size_t line;
    std::size_t column;
  };
  const std::vector<Case> cases = {
      {"", kEmpty, 0, 1, 1}, {"   ", kEmpty, 0, 1, 1}, {"\u00a0\n\u3000", kEmpty, 0, 1, 1},
      {"a, b", kSeparator, 1, 1, 2}, {"a;", kSeparator, 1, 1, 2}, {"  a\n, b", kSeparator, 2, 2, 1},
      {"x from y", kClause, 2, 1, 3}, {"order by", kClause, 0, 1, 1}, {"order /* c */ BY", kClause, 0, 1, 1},
      {"a select", kClause, 2, 1, 3}, {" x\nunion all y ", kClause, 2, 2, 1},
      {"a is distinct from b", "", 0, 0, 0},  // accepted: a comparison
      {"* except (a)", "", 0, 0, 0},  // accepted: a column filter, not EXCEPT
      // Offsets count the printed bytes of whole nodes before the culprit.
      {"f(x, y) from t", kClause, 8, 1, 9}, {"{% if x %}y{% endif %} limit 1", kClause, 23, 1, 24},
      {"(a,\nb) \u00e9 , c", kSeparator, 10, 2, 7},
      // The first offending child decides.
      {"a from b, c", kClause, 2, 1, 3}, {"a, b from c", kSeparator, 1, 1, 2},
      // Positions are in the trimmed text.
      {"\u00a0 a, b", kSeparator, 1, 1, 2}, {"{{ col", "unterminated `{{` tag", 0, 1, 1},
      {"  a {{ col", "unterminated `{{` tag", 2, 1, 3},
      // Openers with no closer, which would close on text after the item.
      {"'oops", "unterminated string", 0, 1, 1}, {"'it''s' || 'x", "unterminated string", 11, 1, 12},
      {"a || \"open", "unterminated quoted identifier", 5, 1, 6}, {"`b", "unterminated quoted identifier", 0, 1, 1},
      {"x /* open", "unterminated block comment", 2, 1, 3},
      {"a\n$t$ d", "unterminated dollar-quoted string", 2, 2, 1},
      // Ends after which a clause keyword reads as a column or a comparison.
      {"e.", "a select item cannot end in `.` or `distinct`", 1, 1, 2},
      {"a is DISTINCT -- c", "a select item cannot end in `.` or `distinct`", 5, 1, 6},
      {"1. + e.*", "", 0, 0, 0},
      // Jinja that does not check on its own, inside a string too: the engine reads tags there.
      {"'{% if x %}' as s", "`{% if %}` is never closed: expected `{% endif %}`", 1, 1, 2},
      {"a {{ x y }}", "expected the end of the tag, got `y`", 7, 1, 8},
  };
  for (const Case& c : cases) {
    SelectItemResult result = parse_select_item(c.input);
    if (c.message.empty()) {
      EXPECT_TRUE(std::holds_alternative<NodeRef>(result)) << "input: " << c.input;
      continue;
    }
    auto* err = std::get_if<ParseError>(&result);
    if (err == nullptr) {
      ADD_FAILURE() << "input accepted: " << c.input;
      continue;
    }
    EXPECT_EQ(err->message, c.message) << "input: " << c.input;
    EXPECT_EQ(err->offset, c.offset) << "input: " << c.input;
    EXPECT_EQ(err->line, c.line) << "input: " << c.input;
    EXPECT_EQ(err->column, c.column) << "input: " << c.input;
  }
}

TEST(SelectListSplit, DeeplyNestedBlocksInASelectList) {
  constexpr std::size_t kDepth = 100000;
  struct Case {
    std::string_view name;
    std::string_view innermost;
    std::string_view expected;
  };
  const std::vector<Case> cases = {
      {"a separator deep inside", "b,", R"d("select" " " SelectItem[...] "," " " JinjaBlock[...] " " SelectItem[...])d"},
      {"statement tags only", "{% set y = 1 %}", R"d("select" " " SelectItem[...] "," " " JinjaBlock[...])d"},
      {"an expression deep inside", "{{ b }}", R"d("select" " " SelectItem[...] "," " " SelectItem[...])d"},
  };
  for (const Case& c : cases) {
    std::string text = "select a, " + repeat("{% if x %}", kDepth) + std::string(c.innermost) +
                       repeat("{% endif %}", kDepth) + " c";
    if (c.name == "statement tags only") text.resize(text.size() - 1);
    cst::Document doc = testing::parse_ok(text);
    NodeRef select = testing::first_select(doc);
    ASSERT_TRUE(select) << c.name;
    auto lock = select->read_lock();
    EXPECT_EQ(testing::dump(select->children, false), c.expected) << c.name;
  }
}

TEST(SelectItemParse, DeeplyNestedTextIsAccepted) {
  constexpr std::size_t kDepth = 100000;
  std::string text = repeat("(select ", kDepth) + "1" + repeat(")", kDepth) + " as x";
  SelectItemResult result = parse_select_item(text);
  ASSERT_TRUE(std::holds_alternative<NodeRef>(result));
  EXPECT_EQ(cst::node_text(std::get<NodeRef>(result)), text);

  std::string refused = repeat("{% if x %}", kDepth) + "a" + repeat("{% endif %}", kDepth) + ", b";
  SelectItemResult error = parse_select_item(refused);
  ASSERT_TRUE(std::holds_alternative<ParseError>(error));
  EXPECT_EQ(std::get<ParseError>(error).offset, refused.size() - 3);
}

}  // namespace
}  // namespace trelm::parser
