#include "edit/select_edit.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "support/parsed.hpp"

namespace trelm::edit {
namespace {

using cst::Children;
using cst::NodeRef;

using testing::first_select;
using testing::items_of;
using testing::parse_ok;

// Each item's text from its first through its last significant child: what
// a parser makes an item of when it meets the text inside a list.
std::vector<std::string> significant_texts(const std::vector<NodeRef>& items) {
  std::vector<std::string> texts;
  for (const NodeRef& item : items) {
    auto lock = item->read_lock();
    const Children& children = item->children;
    std::size_t first = cst::next_significant(children, 0);
    if (first == cst::npos) continue;
    std::size_t last = cst::last_significant_before(children, children.size());
    std::string& out = texts.emplace_back();
    for (std::size_t i = first; i <= last; ++i) cst::print_child(children[i], out);
  }
  return texts;
}

// The edited text reads back as the same items: nothing leaked into a
// comment, no tokens ran together, no comma went missing.
void expect_reparses_to(const std::string& text, const NodeRef& live_select) {
  cst::Document again = parse_ok(text);
  NodeRef select = first_select(again);
  ASSERT_TRUE(select) << text;
  EXPECT_EQ(significant_texts(items_of(select)), significant_texts(items_of(live_select))) << "«" << text << "»";
}

struct Op {
  enum class Kind { Insert, Remove, SetText } kind;
  std::size_t index;  // insertion index, or the position of the item acted on
  std::string text;
};

Op insert(std::size_t index, std::string text) { return {Op::Kind::Insert, index, std::move(text)}; }
Op append(std::string text) { return {Op::Kind::Insert, 1000, std::move(text)}; }
Op remove(std::size_t index) { return {Op::Kind::Remove, index, {}}; }
Op set_text(std::size_t index, std::string text) { return {Op::Kind::SetText, index, std::move(text)}; }

// Runs the edit and answers the error, if any.
std::optional<EditError> run_op(const NodeRef& select, const Op& op) {
  if (op.kind == Op::Kind::Insert) {
    auto lock = select->write_lock();
    InsertResult r = insert_item(*select, op.index, op.text);
    if (auto* e = std::get_if<EditError>(&r)) return *e;
    return std::nullopt;
  }
  NodeRef item = items_of(select).at(op.index);
  auto lock = select->write_lock();
  return op.kind == Op::Kind::Remove ? remove_item(*select, item) : set_item_text_in(*select, item, op.text);
}

struct EditCase {
  std::string name;
  std::string before;
  std::vector<Op> ops;
  std::string after;
};

void run_cases(const std::vector<EditCase>& cases) {
  for (const EditCase& tc : cases) {
    SCOPED_TRACE(tc.name);
    cst::Document doc = parse_ok(tc.before);
    NodeRef select = first_select(doc);
    ASSERT_TRUE(select);
    for (const Op& op : tc.ops) {
      auto err = run_op(select, op);
      EXPECT_FALSE(err.has_value()) << (err ? err->syntax.message : "");
    }
    std::string text = cst::document_text(doc);
    EXPECT_EQ(text, tc.after);
    expect_reparses_to(text, select);
  }
}

TEST(SelectEdit, InsertsInTheListsOwnLayout) {
  run_cases({
      {"trailing multi-line", "select\n    a,\n    b", {append("c")}, "select\n    a,\n    b,\n    c"},
      {"leading multi-line", "select\n    a\n    , b", {append("c")}, "select\n    a\n    , b\n    , c"},
      {"at the front", "select a, b", {insert(0, "c")}, "select c, a, b"},
      {"past the end", "select a, b", {insert(99, "c")}, "select a, b, c"},
      {"front of one item", "select a", {insert(0, "b")}, "select b, a"},
      {"one item on its own line", "select\n    a\nfrom t", {append("b")}, "select\n    a,\n    b\nfrom t"},
      {"middle of trailing list", "select\n    a,\n    b\nfrom t", {insert(1, "x")},
       "select\n    a,\n    x,\n    b\nfrom t"},
      {"middle of leading list", "select\n    a\n    , b\nfrom t", {insert(1, "x")},
       "select\n    a\n    , x\n    , b\nfrom t"},
      {"front of leading list", "select\n    a\n    , b", {insert(0, "x")}, "select\n    x\n    , a\n    , b"},
      {"windows line ends", "select\r\n    a,\r\n    b\r\nfrom t", {append("c")},
       "select\r\n    a,\r\n    b,\r\n    c\r\nfrom t"},
      {"windows, between commented items", "select\r\n  a,\r\n  b, -- c\r\n  d", {insert(2, "x"), append("y")},
       "select\r\n  a,\r\n  b, -- c\r\n  x,\r\n  d,\r\n  y"},
      {"tabs", "select\n\ta,\n\tb\nfrom t", {append("c")}, "select\n\ta,\n\tb,\n\tc\nfrom t"},
      {"blank lines are not copied", "select\n  a,\n\n  b", {append("c")}, "select\n  a,\n\n  b,\n  c"},
      {"after a line comment", "select a -- note", {append("c")}, "select a, -- note\nc"},
      {"after a comment, indented like the previous item", "select\n  a, b -- note\nfrom t", {append("c")},
       "select\n  a, b, -- note\n  c\nfrom t"},
      {"after a comment, comma present", "select a, -- note\n  b", {insert(1, "x")},
       "select a, -- note\n  x,\n  b"},
      {"windows, after a comment, indented", "select\r\n  a, b -- note\r\nfrom t", {append("c")},
       "select\r\n  a, b, -- note\r\n  c\nfrom t"},
      {"windows comment", "select a -- note\r\nfrom t", {append("c")}, "select a, -- note\r\nc\nfrom t"},
      {"leading after a comment", "select\n  a -- one\n  , b -- two\nfrom t", {append("c")},
       "select\n  a -- one\n  , b -- two\n  , c\nfrom t"},
      {"mixed: front uses gap 0", "select a, b\n  , c", {insert(0, "x")}, "select x, a, b\n  , c"},
      {"mixed: end uses the last gap", "select a, b\n  , c", {append("x")}, "select a, b\n  , c\n  , x"},
      {"mixed: nearest gap with a comma", "select a, b\n  , c\n  , d", {insert(1, "x")},
       "select a, x, b\n  , c\n  , d"},
      {"no comma in the nearest gap", "select a {% if f %}, b{% endif %} c, d", {insert(1, "x")},
       "select a, x {% if f %}, b{% endif %} c, d"},
      {"nearest comma gap lies above", "select a {% if f %}, b{% endif %} c\n  , d", {insert(1, "x")},
       "select a\n  , x {% if f %}, b{% endif %} c\n  , d"},
      {"equally near gaps: the lower wins", "select a\n  , b {% if f %}, x{% endif %} c, d", {insert(2, "y")},
       "select a\n  , b\n  , y {% if f %}, x{% endif %} c, d"},
      {"jinja block between items", "select\n  a,\n  {% if x %}b,{% endif %}\n  c", {append("d")},
       "select\n  a,\n  {% if x %}b,{% endif %}\n  c,\n  d"},
      {"before a jinja block", "select\n  a,\n  {% if x %}b,{% endif %}\n  c", {insert(1, "d")},
       "select\n  a,\n  d,\n  {% if x %}b,{% endif %}\n  c"},
      {"no items", "select from t", {append("x")}, "select x from t"},
      {"no items, modifiers", "select all\nfrom t", {insert(0, "x")}, "select all x\nfrom t"},
      {"spaces before commas", "select a , b", {append("c")}, "select a , b , c"},
      {"no space after commas", "select a ,b", {append("c")}, "select a ,b ,c"},
      {"commas on lines of their own", "select\n  a\n  ,\n  b", {append("c")}, "select\n  a\n  ,\n  b\n  ,\n  c"},
      {"subquery stays whole", "select a, (select 1) as s from t", {append("b")},
       "select a, (select 1) as s, b from t"},
      {"item flush against the keyword", "select(a), b", {insert(0, "x")}, "select x, (a), b"},
      {"text is trimmed", "select a", {append("  b + 1 as c \n")}, "select a, b + 1 as c"},
      {"comma after the block comment ending the item", "select a /* keep */ from t", {append("b")},
       "select a /* keep */, b from t"},
  });
}

TEST(SelectEdit, RemovesItemsWithTheirSeparators) {
  run_cases({
      {"middle, trailing", "select\n    a,\n    b,\n    c", {remove(1)}, "select\n    a,\n    c"},
      {"last, trailing", "select\n    a,\n    b,\n    c", {remove(2)}, "select\n    a,\n    b"},
      {"first, trailing", "select\n    a,\n    b,\n    c", {remove(0)}, "select\n    b,\n    c"},
      {"first with its comment", "select a, -- first\n    b", {remove(0)}, "select b"},
      {"middle, leading", "select\n    a\n    , b\n    , c", {remove(1)}, "select\n    a\n    , c"},
      {"first, leading", "select\n    a\n    , b\n    , c", {remove(0)}, "select\n    b\n    , c"},
      {"last, leading", "select\n    a\n    , b\n    , c\nfrom t", {remove(2)}, "select\n    a\n    , b\nfrom t"},
      {"last of a line", "select a, b from t", {remove(1)}, "select a from t"},
      {"with its own comment", "select\n  a,\n  b, -- bee\n  c", {remove(1)}, "select\n  a,\n  c"},
      {"last with its comment", "select\n  a,\n  b -- bee\nfrom t", {remove(1)}, "select\n  a\nfrom t"},
      {"jinja block stays", "select\n  a,\n  {% if x %}b,{% endif %}\n  c", {remove(1)},
       "select\n  a,\n  {% if x %}b,{% endif %}"},
      {"windows line ends", "select\r\n  a,\r\n  b,\r\n  c\r\n", {remove(1)}, "select\r\n  a,\r\n  c\r\n"},
      {"windows, after a comment", "select\r\n  a, -- c\r\n  b,\r\n  d", {remove(1)},
       "select\r\n  a, -- c\r\n  d"},
      {"windows, last after a comment", "select\r\n  a, -- c\r\n  b -- d\r\nfrom t", {remove(1)},
       "select\r\n  a -- c\r\nfrom t"},
      {"flush against the keyword", "select(a), b", {remove(0)}, "select b"},
      // A comment between an item and its comma is that item's: it stays
      // with it, and the comma after it is not taken for the next one's.
      {"after a block comment before the comma", "select a /* keep */, b, c from t", {remove(1)},
       "select a /* keep */, c from t"},
      {"after a block comment and a space before the comma", "select a /* x */ , b, c from t", {remove(1)},
       "select a /* x */ , c from t"},
      {"after a Jinja comment before the comma", "select n{# j #} , b ,c", {remove(1)}, "select n{# j #} ,c"},
      {"after a block comment, leading", "select\n  a /* x */\n  , b\n  , c", {remove(1)},
       "select\n  a /* x */\n  , c"},
      {"last with its block comment", "select a, b /* bee */ from t", {remove(1)}, "select a from t"},
      {"remove then insert", "select a, b, c", {remove(1), insert(1, "x")}, "select a, x, c"},
  });
}

TEST(SelectEdit, SetsItemText) {
  run_cases({
      {"alias", "select\n  a,\n  b\nfrom t", {set_text(1, "x AS y")}, "select\n  a,\n  x AS y\nfrom t"},
      {"first", "select a, b", {set_text(0, "count(*)")}, "select count(*), b"},
      {"jinja", "select a, b", {set_text(1, "{{ col }}")}, "select a, {{ col }}"},
      // Nor do the new text's edges run into their neighbours' tokens.
      {"a dash before a flush line comment", "select a--c\nfrom t", {set_text(0, "x -")}, "select x - --c\nfrom t"},
      {"a brace before a Jinja comment", "select a{# j #}, b", {set_text(0, "c{")}, "select c{ {# j #}, b"},
  });
}

// An item text that ends in a line comment must not comment out what the
// list or the query goes on with.
TEST(SelectEdit, KeepsLineCommentsFromSwallowingText) {
  run_cases({
      {"append before FROM", "select a from t", {append("b -- note")}, "select a, b -- note\n from t"},
      {"append, what follows is unknown", "select\n    a,\n    b\nfrom t", {append("c -- note")},
       "select\n    a,\n    b,\n    c -- note\n    \nfrom t"},
      {"append, list already ends a line", "select a -- note\nfrom t", {append("c -- x")},
       "select a, -- note\nc -- x\nfrom t"},
      {"windows line ends", "select\r\n  a,\r\n  b\r\nfrom t", {append("c -- n")},
       "select\r\n  a,\r\n  b,\r\n  c -- n\r\n  \r\nfrom t"},
      {"front", "select a, b from t", {insert(0, "x -- c")}, "select x -- c\n, a, b from t"},
      {"front, indented", "select\n  a,\n  b", {insert(0, "x -- c")}, "select\n  x -- c\n  ,\n  a,\n  b"},
      {"middle of trailing list", "select a, b", {insert(1, "x -- c")}, "select a, x -- c\n, b"},
      {"leading list already breaks", "select\n  a\n  , b\nfrom t", {insert(1, "x -- c")},
       "select\n  a\n  , x -- c\n  , b\nfrom t"},
      {"only a comment", "select a from t", {append("-- only a comment")},
       "select a, -- only a comment\n from t"},
      {"no items, comment after keyword", "select -- none\nfrom t", {append("x")}, "select -- none\nx\nfrom t"},
      {"append after an item ending in a comment", "select a from t", {append("b -- note"), append("c")},
       "select a, b -- note\n, c from t"},
      {"insert after an item ending in a comment, leading", "select\n  a\n  , b\nfrom t",
       {insert(1, "x -- c"), insert(2, "y")}, "select\n  a\n  , x -- c\n  , y\n  , b\nfrom t"},
      {"remove the item ending in a comment", "select a, b from t", {insert(1, "x -- c"), remove(1)},
       "select a\n, b from t"},
      {"re-text first item", "select a, b", {set_text(0, "x -- c")}, "select x -- c\n, b"},
      {"re-text before FROM", "select a, b from t", {set_text(1, "x -- c")}, "select a, x -- c\n from t"},
      {"re-text twice keeps one break", "select a, b", {set_text(0, "x -- c"), set_text(0, "y -- d")},
       "select y -- d\n, b"},
      {"re-text back keeps the break", "select a, b", {set_text(0, "x -- c"), set_text(0, "a")}, "select a\n, b"},
      {"re-text, the list's first break after a comment", "select a -- c\r\n, b from t", {set_text(1, "x -- d")},
       "select a -- c\r\n, x -- d\r\n from t"},
      {"re-text windows item", "select a,\r\n  b", {set_text(0, "x -- c")}, "select x -- c\r\n,\r\n  b"},
      {"remove after a comment, leading", "select a -- x\n, b from t", {remove(1)}, "select a -- x\n from t"},
      {"remove after a comment, trailing", "select\n    a, -- c\n    b from t", {remove(1)},
       "select\n    a -- c\n from t"},
      {"remove after a comment, end unknown", "select\n    a, -- c\n    b\nfrom t", {remove(1)},
       "select\n    a -- c\n\nfrom t"},
      {"remove after a comment, next line known", "select\n    a, -- c\n    b,\n    d", {remove(1)},
       "select\n    a, -- c\n    d"},
  });
}

TEST(SelectEdit, ManyAppendsStayLinear) {
  cst::Document doc = parse_ok("select\n    a\nfrom t");
  NodeRef select = first_select(doc);
  {
    auto lock = select->write_lock();
    for (int i = 0; i < 10000; ++i) {
      InsertResult r = insert_item(*select, static_cast<std::size_t>(-1), std::string("c").append(std::to_string(i)));
      ASSERT_TRUE(std::holds_alternative<NodeRef>(r));
    }
  }
  std::string text = cst::document_text(doc);
  EXPECT_TRUE(text.starts_with("select\n    a,\n    c0,\n    c1,\n")) << text.substr(0, 40);
  EXPECT_TRUE(text.ends_with("c9998,\n    c9999\nfrom t"));
  EXPECT_EQ(items_of(select).size(), 10001u);
}

}  // namespace
}  // namespace trelm::edit
