// Leaf of the syntax tree: a kind and the exact source text it covers.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace trelm::cst {

// The numeric values are stable: other code groups kinds by range
// (0..3 trivia, 3..6 Jinja tags).
enum class TokenKind : std::uint8_t {
  Whitespace = 0,
  LineComment = 1,
  BlockComment = 2,
  JinjaComment = 3,
  JinjaExpression = 4,
  JinjaStatement = 5,
  JinjaRaw = 6,
  String = 7,
  QuotedIdentifier = 8,
  Word = 9,
  Number = 10,
  LParen = 11,
  RParen = 12,
  LBracket = 13,
  RBracket = 14,
  Comma = 15,
  Semicolon = 16,
  Other = 17,
};

// Whitespace and comments: everything a construct may be padded with.
constexpr bool is_trivia_kind(TokenKind k) { return static_cast<std::uint8_t>(k) <= 3; }

// A Jinja comment, expression, statement or raw block.
constexpr bool is_jinja_kind(TokenKind k) {
  auto v = static_cast<std::uint8_t>(k);
  return v >= 3 && v <= 6;
}

// ASCII-only case folding: "A".."Z" compare as lower case, every other byte
// as itself, lengths must match.
bool equals_folded(std::string_view a, std::string_view b);

// What tells a token of a tree from every other one, for as long as a
// handle may ask: the address of its text and, for a text the token owns,
// the serial of that copy (see Token::serial). An address alone is not
// enough: once a token's copy is freed, another token's copy may be made at
// the same address. A borrowed text lies in the source buffer of the parse
// that made it, where no other token of that parse lies, and the buffer
// lives as long as any node of that parse: a document's root keeps its own.
struct TokenId {
  const char* address = nullptr;
  std::uint64_t serial = 0;
  bool operator==(const TokenId&) const = default;
};

// 8 bytes: the text's address, its kind and its length in one word. A
// token either owns a heap copy of its text, or borrows it from the source
// buffer of the parse that made it (the nodes of that parse keep the buffer
// alive). Only the parser makes borrowing tokens, and only moves keep them
// borrowing; every other token, copies included, owns its text.
//
// Eight bytes rather than sixteen because a tree is mostly token slots: the
// word is bits 0-47 address, 48-52 kind, 53 heap, 54-63 length. A text
// longer than the length field holds, or at an address above 48 bits, is
// described by a record of its own that the token owns (kLong in the length
// field); such texts are rare and long, so the record costs little.
class Token {
 public:
  Token() : bits_(kind_bits(TokenKind::Other)) {}
  Token(TokenKind k, std::string_view text) : bits_(kind_bits(k)) { assign_copy(text); }
  // A token that points at `text` instead of copying it; `text` must outlive
  // the token. A text that needs a record gets one from `place(bytes)`,
  // memory that lives as long as the text (the token then owns nothing), or
  // from the heap when `place` gives null.
  template <typename Place>
  static Token borrowing(TokenKind k, std::string_view text, Place&& place) {
    if (fits_inline(text.data(), text.size())) [[likely]] {
      return Token(address_bits(text.data()) | kind_bits(k) | (std::uint64_t{text.size()} << kSizeShift));
    }
    return long_borrowing(k, text, place(sizeof(Record)));
  }
  static Token borrowing(TokenKind k, std::string_view text) {
    return borrowing(k, text, [](std::size_t) -> void* { return nullptr; });
  }

  // A copy owns its text, so it may go anywhere; only a move keeps the view.
  Token(const Token& o) : bits_(kind_bits(o.kind())) { assign_copy(o.text()); }
  Token(Token&& o) noexcept : bits_(o.bits_) { o.forget(); }
  Token& operator=(const Token& o) {
    if (this != &o) *this = Token(o);
    return *this;
  }
  Token& operator=(Token&& o) noexcept {
    if (this != &o) {
      free_text();
      bits_ = o.bits_;
      o.forget();
    }
    return *this;
  }
  ~Token() { free_text(); }

  TokenKind kind() const { return static_cast<TokenKind>((bits_ >> kKindShift) & kKindMask); }
  std::string_view text() const {
    if (has_record()) return {record()->data, record()->size};
    return {address(), inline_size()};
  }
  std::size_t size() const { return has_record() ? record()->size : inline_size(); }
  bool owns_text() const { return (bits_ & kHeapBit) != 0 && (!has_record() || record()->owned); }
  // A number given to each copy a token makes of a text, never given twice
  // in the process; 0 for a borrowed or empty text. Kept with the copy.
  std::uint64_t serial() const {
    if (!owns_text()) return 0;
    if (has_record()) return record()->serial;
    std::uint64_t serial = 0;
    std::memcpy(&serial, address() - kSerialBytes, kSerialBytes);
    return serial;
  }
  TokenId id() const { return TokenId{text().data(), serial()}; }

  // The length test is inline: it turns nearly every word away without a
  // call or a look at the text.
  bool is_keyword(std::string_view word) const {
    return kind() == TokenKind::Word && size() == word.size() && equals_folded(text(), word);
  }
  bool is_trivia() const { return is_trivia_kind(kind()); }

 private:
  friend class Child;

  // A long text, or one at an address the word cannot hold; owned bytes
  // follow the record in the same allocation.
  struct Record {
    const char* data;
    std::size_t size;
    bool owned;
    std::uint64_t serial;  // of an owned copy; 0 when borrowed
  };

  explicit Token(std::uint64_t bits) : bits_(bits) {}
  // Kept out of line: the lexer's loop makes a token per few bytes, and
  // long texts are rare.
  [[gnu::noinline, gnu::cold]] static Token long_borrowing(TokenKind k, std::string_view text, void* room) {
    Token t(kind_bits(k));
    if (room == nullptr || !fits_address(room)) {
      t.set_record(new_record(text, false));
      return t;
    }
    t.bits_ |= address_bits(new (room) Record{text.data(), text.size(), false, 0}) | (kLong << kSizeShift);
    return t;
  }

  static constexpr unsigned kKindShift = 48;
  static constexpr std::uint64_t kKindMask = 31;
  // Set when the token holds heap memory (its text's copy, or a record), so
  // that freeing a token that holds none, as after every move, is one test.
  static constexpr std::uint64_t kHeapBit = std::uint64_t{1} << 53;
  static constexpr unsigned kSizeShift = 54;
  static constexpr std::uint64_t kLong = 1023;  // length field: the address is a Record's
  static constexpr std::uint64_t kAddressMask = (std::uint64_t{1} << kKindShift) - 1;
  // The kind a slot holding a node carries; no token has it (set by Child).
  static constexpr std::uint64_t kNodeKind = kKindMask;
  static_assert(static_cast<std::uint64_t>(TokenKind::Other) < kNodeKind);
  // An owned short text is kept right after its serial.
  static constexpr std::size_t kSerialBytes = sizeof(std::uint64_t);

  static std::uint64_t next_serial() {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
  }

  static std::uint64_t kind_bits(TokenKind k) { return std::uint64_t{static_cast<std::uint8_t>(k)} << kKindShift; }
  static std::uint64_t address_bits(const void* p) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p)); }
  static bool fits_address(const void* p) { return (address_bits(p) & ~kAddressMask) == 0; }
  static bool fits_inline(const char* data, std::size_t size) { return size < kLong && fits_address(data); }

  const char* address() const { return reinterpret_cast<const char*>(static_cast<std::uintptr_t>(bits_ & kAddressMask)); }
  std::size_t inline_size() const { return static_cast<std::size_t>(bits_ >> kSizeShift); }
  bool has_record() const { return (bits_ >> kSizeShift) == kLong; }
  const Record* record() const { return reinterpret_cast<const Record*>(address()); }

  // A record of `text`, holding a copy of it when `owned`. A record whose
  // own address does not fit the word is given back and counted as memory
  // running out: no platform this builds for hands out such addresses.
  static Record* new_record(std::string_view text, bool owned) {
    void* room = ::operator new(sizeof(Record) + (owned ? text.size() : 0));
    auto* r = static_cast<Record*>(room);
    r->data = text.data();
    r->size = text.size();
    r->owned = owned;
    r->serial = owned ? next_serial() : 0;
    if (owned) {
      char* copy = reinterpret_cast<char*>(r + 1);
      text.copy(copy, text.size());
      r->data = copy;
    }
    if (!fits_address(r)) {
      ::operator delete(room);
      throw std::bad_alloc();
    }
    return r;
  }
  void set_record(Record* r) { bits_ |= address_bits(r) | kHeapBit | (kLong << kSizeShift); }

  void assign_copy(std::string_view text) {
    if (text.empty()) return;
    if (text.size() >= kLong) {
      set_record(new_record(text, true));
      return;
    }
    char* room = new char[kSerialBytes + text.size()];
    char* copy = room + kSerialBytes;
    if (!fits_address(copy)) {
      delete[] room;
      set_record(new_record(text, true));
      return;
    }
    const std::uint64_t serial = next_serial();
    std::memcpy(room, &serial, kSerialBytes);
    text.copy(copy, text.size());
    bits_ |= address_bits(copy) | kHeapBit | (std::uint64_t{text.size()} << kSizeShift);
  }
  void free_text() {
    if ((bits_ & kHeapBit) != 0) [[unlikely]] free_heap();
  }
  [[gnu::noinline]] void free_heap() {
    if (has_record()) {
      ::operator delete(const_cast<Record*>(record()));
    } else {
      delete[] (address() - kSerialBytes);
    }
  }
  // Empties the token, keeping its kind.
  void forget() { bits_ &= kKindMask << kKindShift; }

  std::uint64_t bits_;
};

static_assert(sizeof(Token) == 8);

}  // namespace trelm::cst
