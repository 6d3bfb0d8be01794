#include "tree/positions.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "edit/rename.hpp"
#include "support/parsed.hpp"
#include "tree/print.hpp"
#include "tree/traverse.hpp"

namespace trelm::cst {
namespace {

// The characters [start, end) of UTF-8 text, cut at character boundaries.
std::string chars(std::string_view text, TextSpan span) {
  std::string out;
  std::size_t index = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool starts = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    index += starts ? 1 : 0;
    if (index > span.start && index <= span.end) out += text[i];
  }
  return out;
}

TEST(Positions, EveryNodeAndTokenCoversItsTextInCharacters) {
  const std::string text =
      "{{ config(a='é') }}\r\nwith ç as (select 'ü' from {{ ref('x') }})\r\nselect ç.a, b from ç -- ñ\r\n";
  Document doc = testing::parse_ok(text);
  const PositionIndex index(doc);
  EXPECT_EQ(index.length(), count_chars(text));
  std::vector<NodeRef> nodes{doc.root};
  {
    auto lock = doc.root->read_lock();
    for_each_descendant(doc.root->children, [&](const NodeRef& n) { nodes.push_back(n); });
  }
  for (const NodeRef& n : nodes) {
    const std::optional<TextSpan> span = index.node_span(n.get());
    ASSERT_TRUE(span.has_value());
    EXPECT_EQ(chars(text, *span), node_text(n));
  }
  std::size_t tokens = 0;
  auto lock = doc.root->read_lock();
  for_each_token(doc.root->children, [&](const Token& t) {
    const std::optional<TextSpan> span = index.token_span(t.text().data());
    ASSERT_TRUE(span.has_value());
    EXPECT_EQ(chars(text, *span), t.text());
    ++tokens;
  });
  EXPECT_GT(tokens, 30u);
}

TEST(Positions, LinesEndAtLineFeedsOnly) {
  Document doc = testing::parse_ok("ab\r\n\né\rx\n");
  const PositionIndex index(doc);
  const std::vector<std::pair<std::size_t, std::pair<std::size_t, std::size_t>>> cases = {
      {0, {1, 1}}, {2, {1, 3}}, {3, {1, 4}}, {4, {2, 1}}, {5, {3, 1}}, {6, {3, 2}}, {7, {3, 3}}, {8, {3, 4}}, {9, {4, 1}},
  };
  for (const auto& [at, expected] : cases) {
    const LineColumn lc = index.location(at);
    EXPECT_EQ(std::make_pair(lc.line, lc.column), expected) << at;
  }
}

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
      if (t.kind == TokenKind::JinjaExpression) tag = t.text().data();
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
