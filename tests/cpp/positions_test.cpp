#include "tree/positions.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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

// Every token's span and every line's start agree with the text counted
// token by token, whether the tokens are the parsed text itself (ASCII or
// not) or an edit put tokens of their own in it, at its start or midway:
// the index reads the first case's text in one pass and must fall back to
// counting from the first token that is not the source's. The tokens an
// edit took out are found nowhere, midway or at the end.
TEST(Positions, SpansAndLinesAgreeWithTheTextCountedTokenByToken) {
  struct Case {
    const char* text;
    const char* inserted;  // a token put in before child `at` of the statement; none when null
    std::size_t at;
    bool remove = false;  // child `at` of the statement (npos: the last) taken out instead
  };
  const Case cases[] = {
      {"select a,\n  b\nfrom t\n", nullptr, 0},
      {"select 'é',\n  b -- ü\nfrom t", nullptr, 0},
      {"select a,\n  b\nfrom t\nwhere x", "é\n-- y\n", 1},
      {"select a,\n  b\nfrom t", "\n\n", 0},
      {"select a,\n  b\nfrom t\nwhere x", nullptr, 1, true},
      {"select a,\n  b\nfrom t\nwhere x", nullptr, npos, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Document doc = testing::parse_ok(c.text);
    NodeRef statement;  // the root's first node, so that `at` > 0 is midway
    {
      auto lock = doc.root->read_lock();
      ASSERT_TRUE(doc.root->children[0].is_node());
      statement = doc.root->children[0].node();
    }
    std::vector<TokenId> gone;
    if (c.remove) {
      auto lock = statement->write_lock();
      Children& children = statement->children;
      const std::size_t at = c.at == npos ? children.size() - 1 : c.at;
      ASSERT_LT(at, children.size());
      if (const Token* t = children[at].as_token()) {
        gone.push_back(t->id());
      } else {
        auto inner = children[at].node()->read_lock();
        for_each_token(children[at].node()->children, [&gone](const Token& t) { gone.push_back(t.id()); });
      }
      children.erase(children.begin() + static_cast<std::ptrdiff_t>(at));
    }
    if (c.inserted != nullptr) {
      auto lock = statement->write_lock();
      Children& children = statement->children;
      ASSERT_LT(c.at, children.size());
      children.insert(children.begin() + c.at, Child(Token(TokenKind::Whitespace, c.inserted)));
    }
    std::vector<std::pair<TokenId, TextSpan>> expected;
    std::string printed;
    std::size_t at = 0;
    {
      auto lock = doc.root->read_lock();
      for_each_token(doc.root->children, [&](const Token& t) {
        const std::size_t chars = count_chars(t.text());
        if (t.size() != 0) expected.emplace_back(t.id(), TextSpan{at, at + chars});
        at += chars;
        printed += t.text();
      });
    }
    const PositionIndex index(doc);
    EXPECT_EQ(index.length(), at);
    for (const auto& [id, span] : expected) EXPECT_EQ(index.token_span(id), span);
    EXPECT_FALSE(gone.empty() && c.remove);
    for (const TokenId& id : gone) EXPECT_FALSE(index.token_span(id).has_value());
    std::size_t line = 1;
    std::size_t column = 1;
    std::size_t chars = 0;
    for (std::size_t i = 0; i <= printed.size(); ++i) {
      if (i < printed.size() && (static_cast<unsigned char>(printed[i]) & 0xC0) == 0x80) continue;
      const LineColumn found = index.location(chars);
      EXPECT_EQ(found.line, line) << "at character " << chars;
      EXPECT_EQ(found.column, column) << "at character " << chars;
      if (i < printed.size() && printed[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
      ++chars;
    }
  }
}

}  // namespace
}  // namespace trelm::cst
