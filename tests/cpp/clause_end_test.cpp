// What lies after the SELECT clause matters to an edit at the end of the
// list: words must not run together across it, and a trailing line comment
// needs no extra line break when one follows already. Only the query can
// tell, so these edits get what follows from the query.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "edit/select_edit.hpp"
#include "query/navigation.hpp"
#include "support/parsed.hpp"

namespace trelm {
namespace {

using cst::NodeRef;

struct WordCase {
  std::string before;
  // Runs the edit on the first SELECT clause, given what follows it.
  std::function<void(cst::Node& select, edit::Following after)> edit;
  std::string after;
};

NodeRef nth_item(cst::Node& select, std::size_t n) { return query::select_items(select.children).at(n); }

TEST(ClauseEnd, EditsKnowWhatFollowsTheClause) {
  const std::vector<WordCase> cases = {
      {"select(1{% else %}select 2",
       [](cst::Node& s, edit::Following w) { ASSERT_FALSE(edit::set_item_text_in(s, nth_item(s, 0), "count(*) n", w)); },
       "select count(*) n select 2"},
      {"select count(*)from t",
       [](cst::Node& s, edit::Following w) { ASSERT_TRUE(std::holds_alternative<NodeRef>(edit::insert_item(s, 9, "x", w))); },
       "select count(*), x from t"},
      {"select a,(b)from t", [](cst::Node& s, edit::Following w) { ASSERT_FALSE(edit::remove_item(s, nth_item(s, 1), w)); },
       "select a from t"},
      {"select(a) from t",
       [](cst::Node& s, edit::Following w) { ASSERT_TRUE(std::holds_alternative<NodeRef>(edit::insert_item(s, 0, "x", w))); },
       "select x, (a) from t"},
      {"select(a), b from t",
       [](cst::Node& s, edit::Following w) { ASSERT_FALSE(edit::set_item_text_in(s, nth_item(s, 0), "q", w)); },
       "select q, b from t"},
      // Nothing is added where the neighbours are not words.
      {"select count(*)from t",
       [](cst::Node& s, edit::Following w) { ASSERT_FALSE(edit::set_item_text_in(s, nth_item(s, 0), "(1)", w)); },
       "select (1)from t"},
      {"select a, b\nfrom t", [](cst::Node& s, edit::Following w) { ASSERT_FALSE(edit::remove_item(s, nth_item(s, 1), w)); },
       "select a\nfrom t"},
      // A line break after the clause closes a trailing comment already.
      {"select\n    a,\n    b\nfrom t",
       [](cst::Node& s, edit::Following w) { ASSERT_TRUE(std::holds_alternative<NodeRef>(edit::insert_item(s, 9, "c -- n", w))); },
       "select\n    a,\n    b,\n    c -- n\nfrom t"},
      {"select\n    a,\n    b\nfrom t",
       [](cst::Node& s, edit::Following w) { ASSERT_FALSE(edit::set_item_text_in(s, nth_item(s, 1), "x -- c", w)); },
       "select\n    a,\n    x -- c\nfrom t"},
      {"select\n    a, -- c\n    b\nfrom t",
       [](cst::Node& s, edit::Following w) { ASSERT_FALSE(edit::remove_item(s, nth_item(s, 1), w)); },
       "select\n    a -- c\nfrom t"},
      // A word after the clause: the comment still needs its own break.
      {"select a from t",
       [](cst::Node& s, edit::Following w) { ASSERT_TRUE(std::holds_alternative<NodeRef>(edit::insert_item(s, 9, "b -- n", w))); },
       "select a, b -- n\n from t"},
  };
  for (const WordCase& c : cases) {
    cst::Document doc = testing::parse_ok(c.before);
    NodeRef q = *query::query(doc);
    NodeRef select = *query::first_select(q);
    {
      auto query_lock = q->read_lock();
      edit::Following after = edit::following_of(q->children, select);
      auto lock = select->write_lock();
      c.edit(*select, after);
    }
    EXPECT_EQ(cst::document_text(doc), c.after) << c.before;
  }
}

}  // namespace
}  // namespace trelm
