#include "lexer/unicode.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "lexer/unicode_tables.hpp"

namespace trelm::lexer::unicode {
namespace {

struct Table {
  const CodeRange* ranges;
  std::size_t count;
  bool (*holds)(char32_t);
};

// The ASCII answers come from a fast path, the rest from a binary search over
// sorted, disjoint ranges; range edges are where an off-by-one would show.
TEST(Unicode, TablesAgreeWithAsciiRulesAndSearch) {
  const Table tables[] = {{kWhiteSpace, kWhiteSpaceCount, is_white_space},
                          {kAlphabetic, kAlphabeticCount, is_alphabetic},
                          {kNumeric, kNumericCount, is_numeric}};
  const auto in = [](const Table& t, char32_t cp) {
    for (std::size_t i = 0; i < t.count; ++i) {
      if (t.ranges[i].lo <= cp && cp <= t.ranges[i].hi) return true;
    }
    return false;
  };
  for (char32_t cp = 0; cp < 0x80; ++cp) {
    SCOPED_TRACE(static_cast<unsigned>(cp));
    const bool ascii[] = {cp == ' ' || (cp >= 9 && cp <= 13), (cp | 0x20) >= 'a' && (cp | 0x20) <= 'z',
                          cp >= '0' && cp <= '9'};
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(tables[k].holds(cp), ascii[k]);
      EXPECT_EQ(in(tables[k], cp), ascii[k]);
    }
  }
  for (const Table& t : tables) {
    ASSERT_GT(t.count, 0u);
    for (std::size_t i = 0; i < t.count; ++i) {
      const CodeRange r = t.ranges[i];
      EXPECT_LE(r.lo, r.hi);
      if (i > 0) {
        EXPECT_GT(r.lo, t.ranges[i - 1].hi + 1);
      }
      EXPECT_TRUE(t.holds(r.lo) && t.holds(r.hi));
      if (r.lo >= 0x80) {
        EXPECT_FALSE(t.holds(r.lo - 1));
      }
      EXPECT_FALSE(t.holds(r.hi + 1));
    }
  }
}

}  // namespace
}  // namespace trelm::lexer::unicode
