#include "tree/node.hpp"

namespace trelm::cst {

bool equals_folded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

bool Child::is_node_kind(const NodeKind& kind) const {
  Node* n = node_ptr();
  if (n == nullptr) return false;
  auto lock = n->read_lock();
  return n->kind == kind;
}

bool Child::is_node_tag(NodeTag tag) const {
  Node* n = node_ptr();
  if (n == nullptr) return false;
  // The tag never changes after construction, but reading it is still a
  // look at the node, so it goes under the node's lock like every read.
  auto lock = n->read_lock();
  return n->kind.tag == tag;
}

// Only the parse calls this, on a node it has just made from children that
// no other thread can see yet, so their spans are read without locks. Each
// child must continue the stretch where the one before it ended; an empty
// token or node is skipped, wherever its view points.
void Node::cover_children() {
  const std::string_view source = text.get()->view();
  if (source.size() >= kNoSpan) return;
  const char* start = nullptr;
  const char* at = nullptr;
  for (const Child& c : children) {
    const char* piece;
    std::size_t size;
    if (const Node* n = c.node_ptr()) {
      if (n->text.get() != text.get() || n->span_begin_ == kNoSpan) return;
      piece = source.data() + n->span_begin_;
      size = n->span_size_;
    } else {
      const Token& t = c.token();
      if (t.owns_text()) return;
      piece = t.text().data();
      size = t.size();
    }
    if (size == 0) continue;
    if (piece != at) {
      if (start != nullptr) return;
      start = piece;
    }
    at = piece + size;
  }
  if (start == nullptr) {
    span_begin_ = 0;
    span_size_ = 0;
    return;
  }
  // Borrowed texts all come from the parse's own source; checked all the
  // same, since the print would copy whatever the span says.
  const auto offset = reinterpret_cast<std::uintptr_t>(start) - reinterpret_cast<std::uintptr_t>(source.data());
  const auto size = static_cast<std::size_t>(at - start);
  if (offset > source.size() || size > source.size() - offset) return;
  span_begin_ = static_cast<std::uint32_t>(offset);
  span_size_ = static_cast<std::uint32_t>(size);
}

// Frees the subtree without recursion and without allocating: freeing may
// run while a MemoryError unwinds, and a tree may be any depth. Lists are
// emptied from the back. Descending into a child that only this subtree holds
// parks the list being emptied inside that child, with the way further up in
// the slot the child left; a child still held elsewhere only loses a count.
Node::~Node() {
  Children current = std::move(children);
  NodeRef above;  // holds the parked list of the level above, or null
  while (true) {
    while (!current.empty()) {
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
    if (!above) return;
    current = std::move(above->children);
    // Replacing `above` frees the node whose list was parked; its list is
    // empty now, so that is one level of destructor, not a recursion.
    above = current.back().take_node();
    current.pop_back();
  }
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
