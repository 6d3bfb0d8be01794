// Internal to the lexer: a read cursor that cannot run past the end of its
// text, ASCII byte classes, and UTF-8 decoding that never fails.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "lexer/unicode.hpp"

namespace trelm::lexer::detail {

// ---- ASCII byte classes -------------------------------------------------

enum ByteClass : std::uint8_t {
  kSpace = 1 << 0,      // ASCII 9..13 and space
  kWordStart = 1 << 1,  // letter or "_"
  kWordCont = 1 << 2,   // letter, digit, "_" or "$"
  kTagChar = 1 << 3,    // letter, digit or "_" (dollar tags and Jinja tag names)
  kDigit = 1 << 4,      // "0".."9"
  kTagText = 1 << 5,    // what a Jinja tag scan skips: no quote, bracket, "%"
};

constexpr std::array<std::uint8_t, 256> make_byte_classes() {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 128; ++c) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    std::uint8_t k = 0;
    if (c == ' ' || (c >= 9 && c <= 13)) k |= kSpace;
    if (letter || c == '_') k |= kWordStart;
    if (letter || digit || c == '_' || c == '$') k |= kWordCont;
    if (letter || digit || c == '_') k |= kTagChar;
    if (digit) k |= kDigit;
    if (std::string_view("\"'()[]{}%").find(static_cast<char>(c)) == std::string_view::npos) k |= kTagText;
    t[static_cast<std::size_t>(c)] = k;
  }
  for (int c = 128; c < 256; ++c) t[static_cast<std::size_t>(c)] = kTagText;
  return t;  // bytes >= 0x80 are in no other class: they take the Unicode path
}

inline constexpr std::array<std::uint8_t, 256> kByteClasses = make_byte_classes();

constexpr bool has_class(unsigned char b, ByteClass k) { return (kByteClasses[b] & k) != 0; }

// ---- UTF-8 --------------------------------------------------------------

struct Decoded {
  char32_t cp = 0;
  std::size_t length = 1;
  bool valid = false;  // false: one undecodable byte, a character of no class
};

// The character starting at `pos` (< text.size()). Overlong forms,
// surrogates, values past U+10FFFF and truncated sequences are invalid and
// cover exactly one byte, so callers always make progress.
inline Decoded decode_utf8(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) return {b0, 1, true};
  std::size_t length;
  char32_t cp;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return {};
  }
  if (text.size() - pos < length) return {};
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char b = byte(pos + i);
    if ((b & 0xC0) != 0x80) return {};
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {};
  return {cp, length, true};
}

// ---- Character classes on whole characters ------------------------------

inline bool is_space_char(const Decoded& d) {
  return d.valid && unicode::is_white_space(d.cp);
}
inline bool is_word_start_char(const Decoded& d) {
  return d.valid && (d.cp == '_' || unicode::is_alphabetic(d.cp));
}
inline bool is_tag_char(const Decoded& d) {
  return d.valid && (d.cp == '_' || unicode::is_alphabetic(d.cp) || unicode::is_numeric(d.cp));
}
inline bool is_word_cont_char(const Decoded& d) { return is_tag_char(d) || (d.valid && d.cp == '$'); }

// ---- Cursor -------------------------------------------------------------

inline constexpr int kEnd = -1;

class Cursor {
 public:
  explicit Cursor(std::string_view text, std::size_t pos = 0) : text_(text), pos_(pos) {}

  std::size_t pos() const { return pos_; }
  bool at_end() const { return pos_ >= text_.size(); }
  std::size_t remaining() const { return text_.size() - pos_; }
  std::string_view rest() const { return text_.substr(pos_); }

  // The byte `k` places ahead as 0..255, or kEnd past the end.
  int peek(std::size_t k = 0) const {
    return k < remaining() ? static_cast<unsigned char>(text_[pos_ + k]) : kEnd;
  }
  int first() const { return peek(0); }
  int second() const { return peek(1); }

  // The whole character at the cursor; call only when not at the end.
  Decoded character() const { return decode_utf8(text_, pos_); }

  void bump(std::size_t n = 1) { pos_ += n < remaining() ? n : remaining(); }
  void jump_to(std::size_t pos) { pos_ = pos < text_.size() ? pos : text_.size(); }

  // Advances over ASCII bytes of class `k`; stops at anything else,
  // including every non-ASCII byte.
  void eat_ascii(ByteClass k) {
    while (pos_ < text_.size() && has_class(static_cast<unsigned char>(text_[pos_]), k)) ++pos_;
  }

  // Advances to the next `a` (or to the end) with memchr.
  void skip_until(char a) {
    if (at_end()) return;
    const void* hit = std::memchr(text_.data() + pos_, a, remaining());
    pos_ = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text_.data())
               : text_.size();
  }

 private:
  std::string_view text_;
  std::size_t pos_;
};

// End of the longest run of tag characters (letters, digits, "_") from
// `pos`: a dollar-quote tag or a Jinja tag name.
inline std::size_t tag_run_end(std::string_view text, std::size_t pos) {
  Cursor cur(text, pos);
  while (!cur.at_end()) {
    const int b = cur.first();
    if (b < 0x80) {
      if (!has_class(static_cast<unsigned char>(b), kTagChar)) break;
      cur.bump();
      continue;
    }
    const Decoded d = cur.character();
    if (!is_tag_char(d)) break;
    cur.bump(d.length);
  }
  return cur.pos();
}

}  // namespace trelm::lexer::detail
