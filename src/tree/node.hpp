// Interior nodes of the syntax tree, the child slots that hold tokens or
// nodes, and the counted handle through which every node is held.
//
// Invariants:
// - A node is always held through a NodeRef (an intrusive, atomic count);
//   the node lives while any parent slot, document or Python handle holds it.
// - Each node has its own reader/writer lock. Readers lock a node while they
//   look at its children (its kind never changes); an edit write-locks the
//   one node whose child list it changes. When two locks are held, the
//   parent's is taken first. No code takes a lock that its own thread
//   already holds.
// - A node made by a parse keeps that parse's source buffer alive, so the
//   tokens that borrow their text from it stay valid as long as the node.
//   Tokens put into a tree by an edit own their text.
// - Destroying a node never recurses once per nesting level (see ~Node), so a
//   tree of any depth can be freed.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <span>
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
  friend struct Node;
  friend NodeRef node_with_room(const TextRef& source, NodeKind kind, std::size_t count);
  static NodeRef adopt(Node* n) {
    NodeRef r;
    r.n_ = n;
    return r;
  }
  Node* release() { return std::exchange(n_, nullptr); }

  Node* n_ = nullptr;
};

// One slot of a child list, 8 bytes: a token held by value, or a node. A
// node's address sits where a token keeps its text's, marked by a kind no
// token has.
class Child {
 public:
  Child(Token t) : slot_(std::move(t)) {}  // NOLINT: implicit by design
  Child(NodeRef n) { hold_node(n.release()); }  // NOLINT: implicit by design
  Child(const Child& o);
  // A slot a child moved out of is an empty token, whatever it held.
  Child(Child&& o) noexcept : slot_(std::move(o.slot_)) { o.forget(); }
  Child& operator=(const Child& o) {
    if (this != &o) *this = Child(o);
    return *this;
  }
  Child& operator=(Child&& o) noexcept {
    if (this != &o) {
      drop_node();
      slot_ = std::move(o.slot_);
      o.forget();
    }
    return *this;
  }
  ~Child() { drop_node(); }

  bool is_token() const { return !is_node(); }
  bool is_node() const { return ((slot_.bits_ >> Token::kKindShift) & Token::kKindMask) == Token::kNodeKind; }
  const Token& token() const { return slot_; }
  Token& token() { return slot_; }
  // The node, shared; node_ptr() looks at it without touching its count.
  NodeRef node() const { return NodeRef(node_ptr()); }
  Node* node_ptr() const { return is_node() ? reinterpret_cast<Node*>(const_cast<char*>(slot_.address())) : nullptr; }

  // Non-null when the slot holds a token; saves a pair of tests in hot loops.
  const Token* as_token() const { return is_node() ? nullptr : &slot_; }

  bool is_token_kind(TokenKind k) const { return is_token() && slot_.kind() == k; }
  bool is_keyword(std::string_view word) const { return is_token() && slot_.is_keyword(word); }
  // Whether the slot holds a node of this kind; false for a token.
  bool is_node_kind(const NodeKind& kind) const;
  bool is_node_tag(NodeTag tag) const;
  bool is_trivia() const { return is_token() && slot_.is_trivia(); }
  bool is_significant() const { return !is_trivia(); }
  // A token whose text lies outside the heap: destroying it does nothing.
  // The heap bit sits right above the kind, so one compare tells.
  bool owns_nothing() const {
    static_assert(Token::kHeapBit == std::uint64_t{1} << (Token::kKindShift + 5) && Token::kNodeKind == 31);
    return ((slot_.bits_ >> Token::kKindShift) & 63) < Token::kNodeKind;
  }

 private:
  friend struct Node;
  friend class ChildList;
  // Empties a slot whose content went elsewhere. A token moved out keeps
  // its kind where it was; a slot must not, or one a node left would still
  // read as a node, at no address.
  void forget() { slot_.bits_ = Token::kind_bits(TokenKind::Other); }
  // Hands the node over to the caller's handle, leaving an empty token.
  NodeRef take_node() {
    NodeRef r = NodeRef::adopt(node_ptr());
    slot_.bits_ = Token::kind_bits(TokenKind::Other);
    return r;
  }
  // A node's address in the slot, marked with the kind no token has. Nodes
  // come from the heap or a parse's blocks, whose addresses fit the word.
  void hold_node(Node* n) {
    if (!Token::fits_address(n)) {
      NodeRef::adopt(n).reset();
      throw std::bad_alloc();
    }
    slot_.bits_ = Token::address_bits(n) | (Token::kNodeKind << Token::kKindShift);
  }
  void drop_node() {
    if (is_node()) take_node().reset();
  }

  Token slot_;
};

static_assert(sizeof(Child) == 8);

// A node's child list, 16 bytes in the node. The parser makes each list's
// room, at its exact size, right after its node: carved from the parse's
// buffer blocks, or, with no buffer, in the node's own allocation. The list
// never frees carved room: it goes with the buffer, which every node of the
// parse keeps, or with the node. The first change that needs more room
// moves the list to the heap; changes in place and removals keep it where
// it is.
//
// So a carved list may only move into a child of its node while ~Node
// frees them, or into a local that dies before its node; lists that go
// from node to node are made on the heap (make_node). Slots move by their
// bytes: a Child points to nothing inside itself.
class ChildList {
 public:
  using value_type = Child;
  using iterator = Child*;
  using const_iterator = const Child*;

  ChildList() = default;
  ChildList(std::initializer_list<Child> children) : ChildList(children.begin(), children.end()) {}
  // Copies of a range of children, as with a vector. Delegating first makes
  // the list whole before any copy, so a copy that throws part way frees
  // the ones made.
  template <typename It>
  ChildList(It first, It last) : ChildList() {
    reserve(static_cast<std::size_t>(std::distance(first, last)));
    for (; first != last; ++first) emplace_back(*first);
  }
  ChildList(ChildList&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), room_(std::exchange(o.room_, 0)) {}
  ChildList& operator=(ChildList&& o) noexcept {
    ChildList taken(std::move(o));
    swap(taken);
    return *this;
  }
  ChildList(const ChildList& o) : ChildList(o.begin(), o.end()) {}
  ChildList& operator=(const ChildList& o) {
    if (this != &o) *this = ChildList(o);
    return *this;
  }
  ~ChildList() {
    destroy(0, size_);
    if (!carved() && data_ != nullptr) ::operator delete(data_);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t capacity() const { return room_ & kRoom; }
  // Whether the room was made with the node (see above) rather than being
  // a heap array of the list's own.
  bool carved() const { return (room_ & kCarved) != 0; }

  Child* data() { return data_; }
  const Child* data() const { return data_; }
  Child* begin() { return data_; }
  Child* end() { return data_ + size_; }
  const Child* begin() const { return data_; }
  const Child* end() const { return data_ + size_; }
  Child& operator[](std::size_t i) { return data_[i]; }
  const Child& operator[](std::size_t i) const { return data_[i]; }
  Child& front() { return data_[0]; }
  const Child& front() const { return data_[0]; }
  Child& back() { return data_[size_ - 1]; }
  const Child& back() const { return data_[size_ - 1]; }

  void reserve(std::size_t n) {
    if (n > capacity()) move_to_heap(n);
  }
  // Room for `count` more children, growing as appending one at a time
  // would.
  void make_room(std::size_t count) {
    if (size_ + count > capacity()) move_to_heap(grown(size_ + count));
  }

  template <typename... Args>
  Child& emplace_back(Args&&... args) {
    if (size_ == capacity()) {
      // Made before the move, since `args` may name a child of this list.
      Child made(std::forward<Args>(args)...);
      move_to_heap(grown(size_ + 1));
      return *new (data_ + size_++) Child(std::move(made));
    }
    return *new (data_ + size_++) Child(std::forward<Args>(args)...);
  }
  void push_back(Child&& c) { emplace_back(std::move(c)); }
  void push_back(const Child& c) { emplace_back(c); }

  // Moves `from` onto the end, leaving `from` empty tokens. By bytes: a
  // slot points to nothing inside itself, and what it owns goes with it.
  void append_moved(std::span<Child> from) {
    make_room(from.size());
    relocate(data_ + size_, from.data(), from.size());
    size_ += static_cast<std::uint32_t>(from.size());
    for (Child& c : from) c.forget();
  }

  // Shortens the list to `size` children when every child past it was
  // moved out (append_moved): those slots own nothing, so nothing is
  // destroyed.
  void drop_moved(std::size_t size) { size_ = static_cast<std::uint32_t>(size); }

  void pop_back() { data_[--size_].~Child(); }
  // Drops the children at the end that own nothing, without a destructor
  // call for each; answers how many children remain.
  std::size_t drop_plain_tail() {
    std::size_t n = size_;
    while (n != 0 && data_[n - 1].owns_nothing()) --n;
    size_ = static_cast<std::uint32_t>(n);
    return n;
  }
  void clear() {
    destroy(0, size_);
    size_ = 0;
  }

  Child* erase(const Child* first, const Child* last) {
    const std::size_t at = index_of(first);
    const std::size_t count = static_cast<std::size_t>(last - first);
    destroy(at, at + count);
    relocate(data_ + at, data_ + at + count, size_ - at - count);
    size_ -= static_cast<std::uint32_t>(count);
    return data_ + at;
  }
  Child* erase(const Child* at) { return erase(at, at + 1); }

  // Inserts the children of [first, last) before `at`; on a failure part
  // way the list is as it was.
  template <typename It>
  Child* insert(const Child* at, It first, It last) {
    ChildList made(first, last);
    return insert_moved(index_of(at), made);
  }
  Child* insert(const Child* at, Child c) {
    ChildList made;
    made.push_back(std::move(c));
    return insert_moved(index_of(at), made);
  }

  // Gives back the slack of a heap list.
  void shrink_to_fit() {
    if (!carved() && size_ < capacity()) move_to_heap(size_);
  }

  void swap(ChildList& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(room_, o.room_);
  }

  // Takes `room`, for `count` children (at most kMaxSize), from memory that
  // outlives the list; only an empty list that has no room yet.
  void use_carved(void* room, std::size_t count) {
    data_ = static_cast<Child*>(room);
    room_ = static_cast<std::uint32_t>(count) | kCarved;
  }

  static constexpr std::size_t kMaxSize = (1u << 31) - 1;

 private:
  static constexpr std::uint32_t kCarved = 1u << 31;
  static constexpr std::uint32_t kRoom = kCarved - 1;

  static void relocate(Child* to, const Child* from, std::size_t count) {
    if (count != 0) std::memmove(static_cast<void*>(to), static_cast<const void*>(from), count * sizeof(Child));
  }
  std::size_t index_of(const Child* at) const { return static_cast<std::size_t>(at - data_); }
  // Most slots own nothing (moved-from ones always), so one test skips them.
  void destroy(std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      if (!data_[i].owns_nothing()) data_[i].~Child();
    }
  }
  // Room for `needed` children on a list that keeps growing: doubled, so
  // that appending one at a time stays linear.
  std::size_t grown(std::size_t needed) const { return std::max(needed, 2 * capacity()); }
  // Moves the children to heap room for `room` of them (at least size()).
  // Lists of 2^31 children and more would be 32 GiB of slots: refused as
  // memory that is not there.
  void move_to_heap(std::size_t room) {
    if (room > kRoom) throw std::bad_alloc();
    auto* moved = static_cast<Child*>(::operator new(room * sizeof(Child)));
    relocate(moved, data_, size_);
    if (!carved()) ::operator delete(data_);
    data_ = moved;
    room_ = static_cast<std::uint32_t>(room);
  }
  Child* insert_moved(std::size_t at, ChildList& made) {
    const std::size_t count = made.size_;
    make_room(count);
    relocate(data_ + at + count, data_ + at, size_ - at);
    relocate(data_ + at, made.data_, count);
    made.size_ = 0;
    size_ += static_cast<std::uint32_t>(count);
    return data_ + at;
  }

  Child* data_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t room_ = 0;  // the capacity, and kCarved
};

static_assert(sizeof(ChildList) == 16);

using Children = ChildList;

// A parse makes about one node per 15 source bytes, so each byte of a node
// costs the tree about 0.07 bytes per byte of source. 40 bytes: the kind
// and span, the child list, the buffer, the lock and the count.
struct Node {
  // Fixed when the node is made, so it is read without the node's lock.
  const NodeKind kind;

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

  explicit Node(NodeKind k) : kind(k) {}
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
  friend NodeRef node_with_room(const TextRef& source, NodeKind kind, std::size_t count);
  template <typename Fill>
  friend NodeRef make_node_in(const TextRef& source, NodeKind kind, std::size_t count, Fill&& fill);
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
  void free_children(TextBuffer* own);
  static void free_heap(Node* n) {
    n->~Node();
    ::operator delete(n);
  }
  std::atomic<std::uint32_t> refs_{0};
};

static_assert(sizeof(Node) == 40);

// A handle to a parsed node below the root is noted in its buffer: that
// tree can no longer be given back without looking at each node.
inline NodeRef::NodeRef(Node* n) : n_(n) {
  if (n_ == nullptr) return;
  if ((n_->refs_.fetch_add(1, std::memory_order_relaxed) & Node::kCarved) != 0 && n_->kind.tag != NodeTag::Root) {
    n_->text.get()->note_loose(TextBuffer::kHandle);
  }
}

inline long NodeRef::use_count() const {
  return n_ == nullptr ? 0 : n_->refs_.load(std::memory_order_acquire) & Node::kCount;
}

inline void NodeRef::reset() {
  Node* n = std::exchange(n_, nullptr);
  if (n == nullptr || (n->refs_.fetch_sub(1, std::memory_order_acq_rel) & Node::kCount) != 1) return;
  if (!n->carved()) {
    Node::free_heap(n);
    return;
  }
  // The node's memory belongs to its buffer, which may die with the node's
  // own reference: that reference is released only once the node is gone.
  TextRef keep = std::move(n->text);
  TextBuffer* b = keep.get();
  if (n->kind.tag == NodeTag::Root && b->tree_goes_whole()) {
    keep.forget();
    b->release(b->nodes());
    return;
  }
  b->note_loose(TextBuffer::kFreed);
  n->free_children(b);
  n->~Node();
}

inline bool Child::is_node_kind(const NodeKind& kind) const {
  const Node* n = node_ptr();
  return n != nullptr && n->kind == kind;
}

inline bool Child::is_node_tag(NodeTag tag) const {
  const Node* n = node_ptr();
  return n != nullptr && n->kind.tag == tag;
}

inline Child::Child(const Child& o) : slot_(o.is_node() ? Token() : o.slot_) {
  if (o.is_node()) hold_node(NodeRef(o.node_ptr()).release());
}

// A node of the children given; the slack of a list that grew is given
// back, since a tree keeps its lists for life.
// Heap nodes are made in raw memory and freed with Node::free_heap, since a
// node made with its list's room has a size of its own.
inline NodeRef make_node(NodeKind kind, Children children) {
  if (children.capacity() - children.size() > children.size() / 8) children.shrink_to_fit();
  return NodeRef(new (::operator new(sizeof(Node))) Node(kind, std::move(children)));
}

// An empty node with room for `count` children, in one piece: with a
// source, carved from its blocks, the node keeping the source; with none,
// one heap allocation. Only the parse carves, while its thread holds every
// reference to `source` and to the nodes made so far, so both counts are
// set without atomic arithmetic.
inline NodeRef node_with_room(const TextRef& source, NodeKind kind, std::size_t count) {
  static_assert(sizeof(Node) % alignof(Child) == 0 && alignof(Node) <= TextBuffer::kAlign);
  if (count > ChildList::kMaxSize) throw std::bad_alloc();
  const std::size_t bytes = sizeof(Node) + count * sizeof(Child);
  if (!source) {
    auto* room = static_cast<std::byte*>(::operator new(bytes));
    Node* n = new (room) Node(kind);
    n->children.use_carved(room + sizeof(Node), count);
    return NodeRef(n);
  }
  auto* room = static_cast<std::byte*>(source.get()->carve(bytes));
  Node* n = new (room) Node(kind);
  n->children.use_carved(room + sizeof(Node), count);
  n->text = TextRef::unshared_copy(source);
  source.get()->count_node();
  n->refs_.store(Node::kCarved | 1, std::memory_order_relaxed);
  return NodeRef::adopt(n);
}

// The parser's way to make a node: `fill(node->children)` appends the
// `count` children, moved in once, straight into their room (with a source,
// in its blocks just after the node; see node_with_room).
template <typename Fill>
NodeRef make_node_in(const TextRef& source, NodeKind kind, std::size_t count, Fill&& fill) {
  NodeRef n = node_with_room(source, kind, count);
  fill(n->children);
  if (source) n->cover_children();
  return n;
}

// Positions of the next significant child at or after `from`, and of the last
// one before `end`; `npos` when there is none. A node always counts.
inline constexpr std::size_t npos = static_cast<std::size_t>(-1);
std::size_t next_significant(const Children& children, std::size_t from);
std::size_t next_significant(const Children& children, std::size_t from, std::size_t end);
std::size_t last_significant_before(const Children& children, std::size_t end);

}  // namespace trelm::cst
