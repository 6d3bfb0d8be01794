#include "tree/positions.hpp"

#include <gtest/gtest.h>

#include "edit/rename.hpp"
#include "support/parsed.hpp"
#include "tree/traverse.hpp"

namespace trelm::cst {
namespace {

// The cache keeps an index until dropped; after an edit and a drop the
// removed token is no longer found.
TEST(Positions, TheCacheIsDroppedByEdits) {
  Document doc = testing::parse_ok("select 1 from {{ ref('a') }}");
  PositionCache cache;
  const auto first = cache.current(doc);
  EXPECT_EQ(cache.current(doc), first);
  const char* tag = nullptr;
  {
    auto lock = doc.root->read_lock();
    for_each_token(doc.root->children, [&](const Token& t) {
      if (t.kind() == TokenKind::JinjaExpression) tag = t.text().data();
    });
  }
  ASSERT_TRUE(first->token_span(tag).has_value());
  EXPECT_EQ(edit::rename_ref(doc, "a", "bb").changed, 1u);
  cache.drop();
  const auto second = cache.current(doc);
  EXPECT_NE(second, first);
  EXPECT_FALSE(second->token_span(tag).has_value());
  EXPECT_EQ(second->length(), first->length() + 1);
}

}  // namespace
}  // namespace trelm::cst
