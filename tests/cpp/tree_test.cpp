#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "parser/parse.hpp"
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

}  // namespace
}  // namespace trelm
