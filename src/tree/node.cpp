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

// Children that only this node holds are moved onto an explicit stack and
// emptied there before they die, so destruction depth stays constant however
// deep the tree is. A child still held elsewhere is left intact.
Node::~Node() {
  std::vector<NodeRef> pending;
  auto take_nodes = [&pending](Children& list) {
    for (Child& c : list) {
      Node* n = c.node_ptr();
      if (n != nullptr && (n->refs_.load(std::memory_order_acquire) & kCount) == 1) pending.push_back(c.take_node());
    }
    list.clear();
  };
  take_nodes(children);
  while (!pending.empty()) {
    NodeRef n = std::move(pending.back());
    pending.pop_back();
    if (n.use_count() == 1) take_nodes(n->children);
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
