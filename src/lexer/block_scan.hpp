// Internal to the lexer: where a run of ASCII word bytes, of ASCII space
// bytes, or of Jinja tag text that the tag scan skips, ends, and where the
// next of a few given bytes stands. Words and
// whitespace are two tokens in three, and a byte loop pays a mispredicted
// exit for nearly every one of them, so where the machine has SSE2 sixteen
// bytes are classified at once and the first byte outside the class is
// found by counting bits. Every non-ASCII byte is outside the word and space
// classes (the caller decodes it) and inside tag text.
#pragma once

#include <bit>
#include <cstddef>
#include <string_view>

#include "lexer/cursor.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace trelm::lexer::detail {

#if defined(__SSE2__)

inline constexpr std::size_t kBlock = 16;

// Bytes equal to `c`, as 0xFF lanes.
inline __m128i bytes_equal(__m128i v, char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); }

// Bytes in [lo, hi]: shifted so that lo lands on -128, the range is the
// lowest hi - lo + 1 signed values, which one signed compare finds.
inline __m128i bytes_between(__m128i v, unsigned char lo, unsigned char hi) {
  const __m128i shifted = _mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(128 - lo)));
  return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(-128 + (hi - lo + 1))));
}

inline __m128i load_block(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// One bit per byte of the block at `p`, set for letters, digits, "_", "$".
inline unsigned word_bytes(const char* p) {
  const __m128i v = load_block(p);
  const __m128i letter = bytes_between(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 'z');
  const __m128i digit = bytes_between(v, '0', '9');
  const __m128i marks = _mm_or_si128(bytes_equal(v, '_'), bytes_equal(v, '$'));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letter, digit), marks)));
}

// One bit per byte of the block at `p`, set for ASCII 9..13 and space.
inline unsigned space_bytes(const char* p) {
  const __m128i v = load_block(p);
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(bytes_between(v, 9, 13), bytes_equal(v, ' '))));
}

// The last few bytes of a text, fewer than a block, are tested one by one.
// Kept out of line so that the block loop stays small enough to inline.
[[gnu::noinline]] inline std::size_t bytewise_run_end(std::string_view text, std::size_t pos, ByteClass k) {
  while (pos < text.size() && has_class(static_cast<unsigned char>(text[pos]), k)) ++pos;
  return pos;
}

// One bit per byte of the block at `p`, set for the bytes a tag scan has to
// look at: quotes, brackets, and "%" and "}" which start its closers. "[" and
// "{" differ from each other only in bit 0x20, and so do "]" and "}".
inline unsigned tag_stop_bytes(const char* p) {
  const __m128i v = load_block(p);
  const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
  const __m128i brackets = _mm_or_si128(bytes_equal(folded, '{'), bytes_equal(folded, '}'));
  const __m128i parens = bytes_between(v, '(', ')');
  const __m128i quotes = _mm_or_si128(bytes_equal(v, '"'), bytes_equal(v, '\''));
  const __m128i stops = _mm_or_si128(_mm_or_si128(brackets, parens), _mm_or_si128(quotes, bytes_equal(v, '%')));
  return static_cast<unsigned>(_mm_movemask_epi8(stops));
}

// First position from `pos` whose byte is outside the class that `in_class`
// reports for whole blocks; `k` is the same class for the last few bytes.
template <class InClass>
std::size_t run_end(std::string_view text, std::size_t pos, InClass in_class, ByteClass k) {
  for (; pos + kBlock <= text.size(); pos += kBlock) {
    const unsigned outside = ~in_class(text.data() + pos) & 0xFFFFU;
    if (outside != 0) return pos + static_cast<std::size_t>(std::countr_zero(outside));
  }
  return bytewise_run_end(text, pos, k);
}

// First position from `pos` holding `a`, `b` or `c`, or the end: the next
// byte a quote, comment or tag body has to look at.
inline std::size_t first_of(std::string_view text, std::size_t pos, char a, char b, char c) {
  for (; pos + kBlock <= text.size(); pos += kBlock) {
    const __m128i v = load_block(text.data() + pos);
    const __m128i hits = _mm_or_si128(_mm_or_si128(bytes_equal(v, a), bytes_equal(v, b)), bytes_equal(v, c));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return pos + static_cast<std::size_t>(std::countr_zero(mask));
  }
  while (pos < text.size() && text[pos] != a && text[pos] != b && text[pos] != c) ++pos;
  return pos;
}

inline std::size_t word_run_end(std::string_view text, std::size_t pos) {
  return run_end(text, pos, word_bytes, kWordCont);
}
inline std::size_t space_run_end(std::string_view text, std::size_t pos) {
  return run_end(text, pos, space_bytes, kSpace);
}
inline std::size_t tag_text_end(std::string_view text, std::size_t pos) {
  return run_end(text, pos, [](const char* p) { return ~tag_stop_bytes(p) & 0xFFFFU; }, kTagText);
}

#else

inline std::size_t ascii_run_end(std::string_view text, std::size_t pos, ByteClass k) {
  while (pos < text.size() && has_class(static_cast<unsigned char>(text[pos]), k)) ++pos;
  return pos;
}
inline std::size_t first_of(std::string_view text, std::size_t pos, char a, char b, char c) {
  while (pos < text.size() && text[pos] != a && text[pos] != b && text[pos] != c) ++pos;
  return pos;
}

inline std::size_t word_run_end(std::string_view text, std::size_t pos) {
  return ascii_run_end(text, pos, kWordCont);
}
inline std::size_t space_run_end(std::string_view text, std::size_t pos) {
  return ascii_run_end(text, pos, kSpace);
}
inline std::size_t tag_text_end(std::string_view text, std::size_t pos) {
  return ascii_run_end(text, pos, kTagText);
}

#endif

}  // namespace trelm::lexer::detail
