// Edits must not make two words run together, inside the list or across the
// end of the SELECT clause (where only the query can tell what follows).
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
  // Runs the edit on the first SELECT clause, given whether a word follows it.
  std::function<void(cst::Node& select, bool word_follows)> edit;
  std::string after;
};

NodeRef nth_item(cst::Node& select, std::size_t n) { return query::select_items(select.children).at(n); }

TEST(WordBoundary, EditsKeepWordsApart) {
  const std::vector<WordCase> cases = {
      {"select(1{% else %}select 2",
       [](cst::Node& s, bool w) { ASSERT_FALSE(edit::set_item_text_in(s, nth_item(s, 0), "count(*) n", w)); },
       "select count(*) n select 2"},
      {"select count(*)from t",
       [](cst::Node& s, bool w) { ASSERT_TRUE(std::holds_alternative<NodeRef>(edit::insert_item(s, 9, "x", w))); },
       "select count(*), x from t"},
      {"select a,(b)from t", [](cst::Node& s, bool w) { ASSERT_FALSE(edit::remove_item(s, nth_item(s, 1), w)); },
       "select a from t"},
      {"select(a) from t",
       [](cst::Node& s, bool w) { ASSERT_TRUE(std::holds_alternative<NodeRef>(edit::insert_item(s, 0, "x", w))); },
       "select x, (a) from t"},
      {"select(a), b from t",
       [](cst::Node& s, bool w) { ASSERT_FALSE(edit::set_item_text_in(s, nth_item(s, 0), "q", w)); },
       "select q, b from t"},
      // Nothing is added where the neighbours are not words.
      {"select count(*)from t",
       [](cst::Node& s, bool w) { ASSERT_FALSE(edit::set_item_text_in(s, nth_item(s, 0), "(1)", w)); },
       "select (1)from t"},
      {"select a, b\nfrom t", [](cst::Node& s, bool w) { ASSERT_FALSE(edit::remove_item(s, nth_item(s, 1), w)); },
       "select a\nfrom t"},
  };
  for (const WordCase& c : cases) {
    cst::Document doc = testing::parse_ok(c.before);
    NodeRef q = *query::query(doc);
    NodeRef select = *query::first_select(q);
    {
      auto query_lock = q->read_lock();
      bool word_follows = edit::word_follows_child(q->children, select);
      auto lock = select->write_lock();
      c.edit(*select, word_follows);
    }
    EXPECT_EQ(cst::document_text(doc), c.after) << c.before;
  }
}

}  // namespace
}  // namespace trelm
