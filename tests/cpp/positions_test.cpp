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
  TokenId tag;
  {
    auto lock = doc.root->read_lock();
    for_each_token(doc.root->children, [&](const Token& t) {
      if (t.kind() == TokenKind::JinjaExpression) tag = t.id();
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

// A token that left the tree is not found in the one made after it, even
// when the new copy of the text got the freed one's address (as a reused
// allocation does).
TEST(Positions, ATokenThatLeftIsNotFoundInItsSuccessor) {
  Document doc = testing::parse_ok("select 1");
  TokenId gone;
  TokenId now;
  {
    auto lock = doc.root->write_lock();
    Children& children = doc.root->children;
    children.push_back(Token(TokenKind::Word, "a"));
    gone = children.back().token().id();
    children.pop_back();
    children.push_back(Token(TokenKind::Word, "b"));
    now = children.back().token().id();
  }
  const PositionIndex index(doc);
  EXPECT_FALSE(index.token_span(gone).has_value());
  EXPECT_EQ(index.token_span(now), (TextSpan{8, 9}));
}

}  // namespace
}  // namespace trelm::cst
