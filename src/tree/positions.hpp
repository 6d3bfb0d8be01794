// Where the nodes and tokens of a document lie in its printed text, counted
// in characters (code points of the UTF-8 text), the way a Python str
// counts, and the line and column of any such index.
//
// One walk over the whole tree answers every position at once, so the index
// is built on demand and cached per document (PositionCache); every edit
// drops the cache, so an answer is never stale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tree/document.hpp"

namespace trelm::cst {

// [start, end) in characters.
struct TextSpan {
  std::size_t start = 0;
  std::size_t end = 0;
  bool operator==(const TextSpan&) const = default;
};

// The number of characters of UTF-8 text: the bytes that start one.
std::size_t count_chars(std::string_view text);

// Line and column of a character index, both 1-based, both in characters.
struct LineColumn {
  std::size_t line = 1;
  std::size_t column = 1;
};

class PositionIndex {
 public:
  // Walks the document once; takes the read locks it needs itself.
  explicit PositionIndex(const Document& doc);

  // nullopt for a node that is not in the document (a removed column).
  std::optional<TextSpan> node_span(const Node* node) const;
  // The span of the token known by `id` (see TokenId) when it is in the
  // document; nullopt when no token of the document is that one (empty
  // tokens have no address, so are never found).
  std::optional<TextSpan> token_span(const TokenId& id) const;

  // The length of the text, in characters.
  std::size_t length() const { return length_; }
  // Lines end at "\n"; `index` must be at most length().
  LineColumn location(std::size_t index) const;

 private:
  // Sorted flat tables rather than hash maps: filled in one pass and asked
  // a few hundred times, they cost a fraction of the maps' allocations.
  struct NodeAt {
    const Node* node;
    TextSpan span;
  };
  struct TokenAt {
    const char* address;
    std::uint64_t serial;  // of a token that owns its text (see TokenId), else 0
    TextSpan span;
  };
  // The tokens that are the parsed ASCII text itself, in order from its
  // start (most documents' every token), as one bit a byte: set where such a
  // token starts. A token there spans from its bit to the next, its
  // characters are its bytes, and it borrows its text (serial 0).
  std::optional<TextSpan> source_token_span(const TokenId& id) const;
  const char* source_ = nullptr;
  std::size_t source_tokens_end_ = 0;  // bytes of the text those tokens cover
  std::vector<std::uint64_t> token_starts_;
  std::vector<NodeAt> nodes_;    // by node address
  std::vector<TokenAt> tokens_;  // the other tokens, by text address; a parsed tree's come in that order
  std::vector<std::size_t> line_starts_;  // the index of each line's first character
  std::size_t length_ = 0;
};

// A token as it was when read: its kind and text, and its id, by which a
// later PositionIndex finds it again.
struct TokenCopy {
  TokenKind kind = TokenKind::Other;
  std::string text;
  TokenId id;

  static TokenCopy of(const Token& t) { return TokenCopy{t.kind(), std::string(t.text()), t.id()}; }
};

// Every token of the document, in order; takes the read locks itself.
std::vector<TokenCopy> copy_tokens(const Document& doc);

// The position index of one document, built when first asked for and kept
// until the next edit. Thread-safe; the cache's own lock is never held while
// the tree is walked, so it cannot order against the tree's locks.
class PositionCache {
 public:
  // The index of the tree as it is now.
  std::shared_ptr<const PositionIndex> current(const Document& doc);
  // Every edit calls this once it has changed the tree.
  void drop();
  // How many edits the tree has had: what was found at one count is where it
  // was found for as long as the count stays.
  std::uint64_t generation();

 private:
  std::mutex mutex_;
  std::uint64_t generation_ = 0;
  std::shared_ptr<const PositionIndex> index_;
};

}  // namespace trelm::cst
