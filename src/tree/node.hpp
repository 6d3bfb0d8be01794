// Interior nodes of the syntax tree, the child slots that hold tokens or
// nodes, and the counted handle through which every node is held.
//
// Invariants:
// - A node is always held through a NodeRef (an intrusive, atomic count);
//   the node lives while any parent slot, document or Python handle holds it.
// - Each node has its own reader/writer lock. Readers lock a node while they
//   look at its kind or children; an edit write-locks the one node whose
//   child list it changes. When two locks are held, the parent's is taken
//   first. No code takes a lock that its own thread already holds.
// - A node made by a parse keeps that parse's source buffer alive, so the
//   tokens that borrow their text from it stay valid as long as the node.
//   Tokens put into a tree by an edit own their text.
// - Destroying a node never recurses once per nesting level (see ~Node), so a
//   tree of any depth can be freed.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "tree/clause_keywords.hpp"
#include "tree/rw_lock.hpp"
#include "tree/text_buffer.hpp"
#include "tree/token.hpp"

namespace trelm::cst {

struct Node;
class Child;

enum class NodeTag : std::uint8_t {
  Root = 0,
  Paren = 1,
  Bracket = 2,
  JinjaBlock = 3,
  JinjaBranch = 4,
  Query = 5,
  Clause = 6,
  SelectItem = 7,
  Cte = 8,
};

// A node kind; only Clause carries data, the row of kClauseNames that gives
// its upper-case name ("GROUP BY"). Two bytes: every node holds one.
struct NodeKind {
  NodeTag tag = NodeTag::Root;

  NodeKind() = default;
  NodeKind(NodeTag t) : tag(t) {}  // NOLINT: a plain tag is a kind
  // `row` is a row of kClauseNames.
  static NodeKind clause(const ClauseName& row) {
    NodeKind k(NodeTag::Clause);
    k.row_ = static_cast<std::uint8_t>(&row - kClauseNames.data());
    return k;
  }

  // The clause's name; empty for any other kind.
  std::string_view name() const { return tag == NodeTag::Clause ? kClauseNames[row_].name : std::string_view(); }
  // The clause's row of kClauseNames; null for any other kind.
  const ClauseName* clause_row() const { return tag == NodeTag::Clause ? &kClauseNames[row_] : nullptr; }

  bool operator==(const NodeKind& o) const { return tag == o.tag && (tag != NodeTag::Clause || row_ == o.row_); }

 private:
  std::uint8_t row_ = 0;
};
static_assert(kClauseNames.size() <= UINT8_MAX + 1);

// A counted handle to a node; copies share the node.
class NodeRef {
 public:
  NodeRef() = default;
  NodeRef(std::nullptr_t) {}  // NOLINT: a null handle
  // Takes a new reference to `n`.
  explicit NodeRef(Node* n);
  NodeRef(const NodeRef& o) : NodeRef(o.n_) {}
  NodeRef(NodeRef&& o) noexcept : n_(std::exchange(o.n_, nullptr)) {}
  NodeRef& operator=(NodeRef o) noexcept {
    std::swap(n_, o.n_);
    return *this;
  }
  ~NodeRef() { reset(); }

  Node* get() const { return n_; }
  Node* operator->() const { return n_; }
  Node& operator*() const { return *n_; }
  explicit operator bool() const { return n_ != nullptr; }
  bool operator==(const NodeRef& o) const { return n_ == o.n_; }
  long use_count() const;
  void reset();

 private:
  friend class Child;
  friend NodeRef make_node_in(const TextRef& source, NodeKind kind, std::vector<Child> children);
  static NodeRef adopt(Node* n) {
    NodeRef r;
    r.n_ = n;
    return r;
  }
  Node* release() { return std::exchange(n_, nullptr); }

  Node* n_ = nullptr;
};

// One slot of a child list, 16 bytes: a token held by value, or a node. A
// node's pointer sits where a token keeps its text, marked by a flag.
class Child {
 public:
  Child(Token t) : slot_(std::move(t)) {}  // NOLINT: implicit by design
  Child(NodeRef n) {                        // NOLINT: implicit by design
    slot_.data_ = reinterpret_cast<const char*>(n.release());
    slot_.flags_ = Token::kNode;
  }
  Child(const Child& o);
  Child(Child&& o) noexcept : slot_(std::move(o.slot_)) {}
  Child& operator=(const Child& o) {
    if (this != &o) *this = Child(o);
    return *this;
  }
  Child& operator=(Child&& o) noexcept {
    if (this != &o) {
      drop_node();
      slot_ = std::move(o.slot_);
    }
    return *this;
  }
  ~Child() { drop_node(); }

  bool is_token() const { return !is_node(); }
  bool is_node() const { return (slot_.flags_ & Token::kNode) != 0; }
  const Token& token() const { return slot_; }
  Token& token() { return slot_; }
  // The node, shared; node_ptr() looks at it without touching its count.
  NodeRef node() const { return NodeRef(node_ptr()); }
  Node* node_ptr() const { return is_node() ? reinterpret_cast<Node*>(const_cast<char*>(slot_.data_)) : nullptr; }

  // Non-null when the slot holds a token; saves a pair of tests in hot loops.
  const Token* as_token() const { return is_node() ? nullptr : &slot_; }

  bool is_token_kind(TokenKind k) const { return is_token() && slot_.kind == k; }
  bool is_keyword(std::string_view word) const { return is_token() && slot_.is_keyword(word); }
  // Read-locks the node to compare its kind; false for a token.
  bool is_node_kind(const NodeKind& kind) const;
  bool is_node_tag(NodeTag tag) const;
  bool is_trivia() const { return is_token() && slot_.is_trivia(); }
  bool is_significant() const { return !is_trivia(); }

 private:
  friend struct Node;
  // Hands the node over to the caller's handle, leaving an empty token.
  NodeRef take_node() {
    NodeRef r = NodeRef::adopt(node_ptr());
    slot_.forget();
    return r;
  }
  void drop_node() {
    if (is_node()) take_node().reset();
  }

  Token slot_;
};

static_assert(sizeof(Child) == 16);

using Children = std::vector<Child>;

// A parse makes about one node per 15 source bytes, so each byte of a node
// costs the tree about 0.07 bytes per byte of source.
struct Node {
  NodeKind kind;

 private:
  // Where the node's text starts in its source and how long it is; kNoSpan
  // when it is not one stretch of it, or longer than a span can say. Set
  // once, by the parse. Kept in the room the two-byte kind leaves before
  // the child list, so the span costs the node no bytes.
  std::uint16_t span_size_ = 0;
  std::uint32_t span_begin_ = ~std::uint32_t{0};

 public:
  Children children;
  // The source buffer the tokens below borrow from; empty for a node made by
  // an edit, whose tokens own their text.
  TextRef text;

  Node(NodeKind k, Children c) : kind(k), children(std::move(c)) {}
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  ~Node();

  std::shared_lock<RwLock> read_lock() const { return std::shared_lock(mutex); }
  // Every change to a child list is made under this lock, so taking it is
  // where the node's buffer learns which stretch of its parse may no longer
  // be what the tree prints (see source_text). An empty node has no place
  // of its own in the source, so locking it marks the whole parse.
  std::unique_lock<RwLock> write_lock() const {
    std::unique_lock lock(mutex);
    if (TextBuffer* b = text.get()) {
      if (span_begin_ == kNoSpan || span_size_ == 0) {
        b->mark_all_edited();
      } else {
        b->mark_edited(span_begin_, span_begin_ + span_size_);
      }
    }
    return lock;
  }

  // The node's whole text as one view of its source, when that is still
  // what its subtree prints: the parse made the node, the tokens below it
  // lie side by side in the source, and no node of that parse within its
  // stretch has been write-locked since. In the parse's tree a node below
  // this one covers part of its stretch, so an edit anywhere below shows
  // here. A node an edit made answers nothing and is walked. Needs no lock:
  // the span never changes and marks are only ever added.
  std::optional<std::string_view> source_text() const {
    const TextBuffer* b = text.get();
    if (b == nullptr || span_begin_ == kNoSpan || b->edited_within(span_begin_, span_begin_ + span_size_)) {
      return std::nullopt;
    }
    return b->view().substr(span_begin_, span_size_);
  }

  mutable RwLock mutex;

 private:
  friend class NodeRef;
  friend NodeRef make_node_in(const TextRef& source, NodeKind kind, Children children);
  static constexpr std::uint32_t kNoSpan = ~std::uint32_t{0};
  static constexpr std::size_t kLongestSpan = UINT16_MAX;
  // Sets the span from the children, if they print as one stretch of the
  // source.
  void cover_children();

  // The count of NodeRefs, and in the top bit whether the node lives in its
  // source buffer's blocks rather than on the heap (set before any NodeRef).
  static constexpr std::uint32_t kCarved = 1u << 31;
  static constexpr std::uint32_t kCount = kCarved - 1;
  bool carved() const { return (refs_.load(std::memory_order_relaxed) & kCarved) != 0; }
  std::atomic<std::uint32_t> refs_{0};
};

static_assert(sizeof(Node) <= 48);

inline NodeRef::NodeRef(Node* n) : n_(n) {
  if (n_ != nullptr) n_->refs_.fetch_add(1, std::memory_order_relaxed);
}

inline long NodeRef::use_count() const {
  return n_ == nullptr ? 0 : n_->refs_.load(std::memory_order_acquire) & Node::kCount;
}

inline void NodeRef::reset() {
  Node* n = std::exchange(n_, nullptr);
  if (n == nullptr || (n->refs_.fetch_sub(1, std::memory_order_acq_rel) & Node::kCount) != 1) return;
  if (!n->carved()) {
    delete n;
    return;
  }
  // The node's memory belongs to its buffer, which may die with the node's
  // own reference: that reference is released only once the node is gone.
  TextRef keep = std::move(n->text);
  n->~Node();
}

inline Child::Child(const Child& o) : slot_(o.is_node() ? Token() : o.slot_) {
  if (o.is_node()) {
    slot_.data_ = reinterpret_cast<const char*>(NodeRef(o.node_ptr()).release());
    slot_.flags_ = Token::kNode;
  }
}

// Lists are built by moving children out of larger ones, and frames grow
// geometrically, so a list can arrive with several times the room it needs;
// a tree keeps its lists for life, so the slack is given back here.
inline NodeRef make_node(NodeKind kind, Children children) {
  if (children.capacity() - children.size() > children.size() / 8) children.shrink_to_fit();
  return NodeRef(new Node(kind, std::move(children)));
}

// A node carved from `source`'s blocks that keeps `source`: the parser makes
// its nodes this way. With no source, a plain make_node. Only the parse
// calls this, while its thread holds every reference to `source` and to the
// nodes made so far, so both counts are set without atomic arithmetic.
inline NodeRef make_node_in(const TextRef& source, NodeKind kind, Children children) {
  if (!source) return make_node(kind, std::move(children));
  if (children.capacity() - children.size() > children.size() / 8) children.shrink_to_fit();
  static_assert(sizeof(Node) == 48 && alignof(Node) <= 16);
  Node* n = new (source.get()->carve(sizeof(Node))) Node(kind, std::move(children));
  n->text = TextRef::unshared_copy(source);
  n->cover_children();
  n->refs_.store(Node::kCarved | 1, std::memory_order_relaxed);
  return NodeRef::adopt(n);
}

// Positions of the next significant child at or after `from`, and of the last
// one before `end`; `npos` when there is none. A node always counts.
inline constexpr std::size_t npos = static_cast<std::size_t>(-1);
std::size_t next_significant(const Children& children, std::size_t from);
std::size_t next_significant(const Children& children, std::size_t from, std::size_t end);
std::size_t last_significant_before(const Children& children, std::size_t end);

}  // namespace trelm::cst
