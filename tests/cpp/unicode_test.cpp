#include "lexer/unicode.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "lexer/unicode_tables.hpp"

namespace trelm::lexer::unicode {
namespace {

struct PropertyCase {
  char32_t cp;
  bool white_space;
  bool alphabetic;
  bool numeric;
};

TEST(Unicode, PropertiesOfChosenCodePoints) {
  const std::vector<PropertyCase> cases = {
      {0x00A0, true, false, false},   // no-break space
      {0x3000, true, false, false},   // ideographic space
      {0x0085, true, false, false},   // next line
      {0x2028, true, false, false},   // line separator
      {0x001C, false, false, false},  // file separator: not White_Space
      {0x200B, false, false, false},  // zero width space: not White_Space
      {0x0345, false, true, false},   // combining ypogegrammeni: Alphabetic, not a letter
      {0x00E9, false, true, false},   // e acute
      {0x4E00, false, true, false},   // CJK ideograph, inside a large range
      {0x2160, false, true, true},    // roman numeral one: Nl, and Alphabetic
      {0x0660, false, false, true},   // arabic-indic zero: Nd
      {0x00B2, false, false, true},   // superscript two: No
      {0x00A7, false, false, false},  // section sign
      {0x10FFFF, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<unsigned>(c.cp));
    EXPECT_EQ(is_white_space(c.cp), c.white_space);
    EXPECT_EQ(is_alphabetic(c.cp), c.alphabetic);
    EXPECT_EQ(is_numeric(c.cp), c.numeric);
  }
}

// The ASCII answers come from a fast path; they must agree with the rules
// and with the generated tables.
TEST(Unicode, AsciiAgreesWithRulesAndTables) {
  auto in = [](const CodeRange* table, std::size_t count, char32_t cp) {
    for (std::size_t i = 0; i < count; ++i) {
      if (table[i].lo <= cp && cp <= table[i].hi) return true;
    }
    return false;
  };
  for (char32_t cp = 0; cp < 0x80; ++cp) {
    SCOPED_TRACE(static_cast<unsigned>(cp));
    const bool letter = (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
    const bool digit = cp >= '0' && cp <= '9';
    const bool space = cp == ' ' || (cp >= 9 && cp <= 13);
    EXPECT_EQ(is_alphabetic(cp), letter);
    EXPECT_EQ(is_numeric(cp), digit);
    EXPECT_EQ(is_white_space(cp), space);
    EXPECT_EQ(in(kAlphabetic, kAlphabeticCount, cp), letter);
    EXPECT_EQ(in(kNumeric, kNumericCount, cp), digit);
    EXPECT_EQ(in(kWhiteSpace, kWhiteSpaceCount, cp), space);
  }
}

// Binary search relies on sorted, disjoint ranges.
TEST(Unicode, TablesAreSortedAndDisjoint) {
  struct Table {
    const CodeRange* ranges;
    std::size_t count;
  };
  for (const Table& t : {Table{kWhiteSpace, kWhiteSpaceCount}, Table{kAlphabetic, kAlphabeticCount},
                         Table{kNumeric, kNumericCount}}) {
    ASSERT_GT(t.count, 0u);
    for (std::size_t i = 0; i < t.count; ++i) {
      EXPECT_LE(t.ranges[i].lo, t.ranges[i].hi);
      if (i > 0) {
        EXPECT_GT(t.ranges[i].lo, t.ranges[i - 1].hi + 1);
      }
    }
  }
}

// Range edges are where an off-by-one in the search would show.
TEST(Unicode, RangeEdges) {
  for (std::size_t i = 0; i < kAlphabeticCount; ++i) {
    const CodeRange r = kAlphabetic[i];
    EXPECT_TRUE(is_alphabetic(r.lo));
    EXPECT_TRUE(is_alphabetic(r.hi));
    if (r.lo >= 0x80) {
      EXPECT_FALSE(is_alphabetic(r.lo - 1));
    }
    EXPECT_FALSE(is_alphabetic(r.hi + 1));
  }
}

}  // namespace
}  // namespace trelm::lexer::unicode
