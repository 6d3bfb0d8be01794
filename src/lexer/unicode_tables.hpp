// Sorted, disjoint, non-adjacent code point ranges, one table per property.
// Defined in unicode_tables.cpp, which tools/gen_unicode_tables.py writes.
#pragma once

#include <cstddef>

namespace trelm::lexer::unicode {

struct CodeRange {
  char32_t lo;  // inclusive
  char32_t hi;  // inclusive
};

extern const CodeRange kWhiteSpace[];
extern const std::size_t kWhiteSpaceCount;
extern const CodeRange kAlphabetic[];
extern const std::size_t kAlphabeticCount;
extern const CodeRange kNumeric[];
extern const std::size_t kNumericCount;

// The template engine's names, in name_tables.cpp (tools/gen_name_tables.py).
extern const CodeRange kNameRun[];
extern const std::size_t kNameRunCount;
extern const CodeRange kNameStart[];
extern const std::size_t kNameStartCount;
extern const CodeRange kNameContinue[];
extern const std::size_t kNameContinueCount;

}  // namespace trelm::lexer::unicode
