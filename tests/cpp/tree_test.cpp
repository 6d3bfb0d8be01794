#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "edit/select_edit.hpp"
#include "parser/parse.hpp"
#include "query/navigation.hpp"
#include "support/parsed.hpp"
#include "tree/print.hpp"
#include "tree/traverse.hpp"

namespace trelm {
namespace {

// Tokens borrow their texts from the parse's source buffer; every node must
// keep that buffer, or a node held past its document reads freed memory
// (the sanitizer build turns that into a failure).
TEST(Tree, EveryNodeStaysReadableAfterItsDocumentIsGone) {
  std::vector<std::pair<cst::NodeRef, std::string>> held;
  {
    std::string source =
        "with a as (select x[1] from t)\n"
        "select {% if f %}b, {% else %}c, {% endif %}(select 1) as d\n"
        "from a union all select 2";
    cst::Document doc = testing::parse_ok(source);
    auto lock = doc.root->read_lock();
    cst::for_each_descendant(doc.root->children,
                             [&held](const cst::NodeRef& n) { held.emplace_back(n, cst::node_text(n)); });
    source.assign(source.size(), '#');  // the caller's text is not what the tree reads
  }
  ASSERT_GE(held.size(), 12u);
  for (const auto& [node, text] : held) EXPECT_EQ(cst::node_text(node), text);
}

// Printers walk the whole tree under read locks while a writer adds and
// removes an item of an inner SELECT list: every print sees the edit whole
// or not at all. Run under the thread sanitizer too, which also reports any
// access that a lock does not order.
TEST(Tree, PrintsOverlapEdits) {
  std::string tail;
  for (int i = 0; i < 200; ++i) tail += ",\nc" + std::to_string(i) + " as (select " + std::to_string(i) + " from t)";
  const std::string source = "with a as (select x from t)" + tail + "\nselect y from a";
  cst::Document doc = testing::parse_ok(source);
  cst::NodeRef cte = query::cte(*query::query(doc), "a").value();
  cst::NodeRef inner = [&] {
    auto lock = cte->read_lock();
    return query::cte_query(cte->children).value();
  }();
  cst::NodeRef select = query::first_select(inner).value();
  const std::string with_item = "with a as (select x, added from t)" + tail + "\nselect y from a";

  std::thread writer([&] {
    for (int i = 0; i < 300; ++i) {
      auto lock = select->write_lock();
      auto added = std::get<cst::NodeRef>(edit::insert_item(*select, 1, "added"));
      lock.unlock();
      std::this_thread::yield();
      lock.lock();
      EXPECT_FALSE(edit::remove_item(*select, added).has_value());
    }
  });
  std::vector<std::thread> printers;
  for (int p = 0; p < 2; ++p) {
    printers.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        std::string text = cst::document_text(doc);
        EXPECT_TRUE(text == source || text == with_item) << text.substr(0, 60);
      }
    });
  }
  writer.join();
  for (std::thread& t : printers) t.join();
  EXPECT_EQ(cst::document_text(doc), source);
}

}  // namespace
}  // namespace trelm
