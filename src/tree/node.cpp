#include "tree/node.hpp"

#include <cstring>

namespace trelm::cst {

bool equals_folded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // Names compared are mostly written alike: a long one is first compared
  // as bytes, many at a time.
  if (a.size() >= 8 && std::memcmp(a.data(), b.data(), a.size()) == 0) return true;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

namespace {

// The stretch of `source` that a child of a parsed node covers; nothing
// for a token that owns its text or a node with no stretch of this source.
struct Piece {
  const char* data = nullptr;
  std::size_t size = 0;
  bool known = false;
};

}  // namespace

// Only the parse calls this, on a node it has just made from children that
// no other thread can see yet, so their spans are read without locks. The
// parse keeps every byte in order, so the children of a node are one run of
// the source: its first and last non-empty child bound the node's stretch.
// (The parse fuzz target and the corpus tests compare each node's print with
// its token walk.) Borrowed texts all come from the parse's own source; that
// is checked all the same, since the print copies whatever the span says.
void Node::cover_children() {
  const std::string_view source = text.get()->view();
  if (source.size() >= kNoSpan) return;
  auto piece_of = [&](const Child& c) -> Piece {
    if (const Node* n = c.node_ptr()) {
      if (n->text.get() != text.get() || n->span_begin_ == kNoSpan) return {};
      return {source.data() + n->span_begin_, n->span_size_, true};
    }
    const Token& t = c.token();
    if (t.owns_text()) return {};
    return {t.text().data(), t.size(), true};
  };
  std::size_t first = 0;
  Piece head;
  for (; first < children.size(); ++first) {
    head = piece_of(children[first]);
    if (!head.known) return;
    if (head.size != 0) break;
  }
  if (first == children.size()) {
    span_begin_ = 0;
    span_size_ = 0;
    return;
  }
  Piece tail;
  for (std::size_t last = children.size(); last-- > first;) {
    tail = piece_of(children[last]);
    if (!tail.known) return;
    if (tail.size != 0) break;
  }
  const auto base = reinterpret_cast<std::uintptr_t>(source.data());
  const auto begin = reinterpret_cast<std::uintptr_t>(head.data) - base;
  const auto end = reinterpret_cast<std::uintptr_t>(tail.data) - base + tail.size;
  if (begin > source.size() || end > source.size() || end < begin || end - begin > kLongestSpan) return;
  span_begin_ = static_cast<std::uint32_t>(begin);
  span_size_ = static_cast<std::uint16_t>(end - begin);
}

// Frees the subtree without recursion and without allocating: freeing may
// run while a MemoryError unwinds, and a tree may be any depth. Lists are
// emptied from the back. Descending into a child that only this subtree holds
// parks the list being emptied inside that child, with the way further up in
// the slot the child left; a child still held elsewhere only loses a count.
// A list moves by its three words, and a carved one stays in its buffer,
// which this node's own reference keeps.
Node::~Node() {
  // A node freed from below was emptied first: nothing to walk.
  if (!children.empty()) free_children(text.get());
}

// `own` is the buffer this node keeps (the caller may have taken the
// reference out of `text` to hold it until the node is gone). The
// references to it held by the nodes freed below are given back in one
// step at the end; until then the node's own keeps it.
void Node::free_children(TextBuffer* own) {
  std::size_t own_refs = 0;
  Children current = std::move(children);
  NodeRef above;  // holds the parked list of the level above, or null
  while (true) {
    while (current.drop_plain_tail() != 0) {
      Child& last = current.back();
      Node* n = last.node_ptr();
      if (n == nullptr || (n->refs_.load(std::memory_order_acquire) & kCount) != 1) {
        current.pop_back();
        continue;
      }
      NodeRef below = last.take_node();
      last = Child(std::move(above));
      Children rest = std::move(below->children);
      below->children = std::move(current);
      above = std::move(below);
      current = std::move(rest);
    }
    if (!above) break;
    current = std::move(above->children);
    // The node whose list was parked has an empty list now, so freeing it
    // is one level of destructor, not a recursion. Its count was seen at 1
    // and nothing else can reach it, so it is freed without counting down.
    Node* done = above.release();
    above = current.back().take_node();
    current.pop_back();
    if (!done->carved()) {
      free_heap(done);
      continue;
    }
    TextRef keep = std::move(done->text);
    done->~Node();
    if (own != nullptr && keep.get() == own) {
      keep.forget();
      ++own_refs;
    }
  }
  if (own_refs != 0) own->release(own_refs);
}

std::size_t next_significant(const Children& children, std::size_t from) {
  return next_significant(children, from, children.size());
}

std::size_t next_significant(const Children& children, std::size_t from, std::size_t end) {
  for (std::size_t i = from; i < end; ++i) {
    if (children[i].is_significant()) return i;
  }
  return npos;
}

std::size_t last_significant_before(const Children& children, std::size_t end) {
  for (std::size_t i = end; i > 0; --i) {
    if (children[i - 1].is_significant()) return i - 1;
  }
  return npos;
}

}  // namespace trelm::cst
