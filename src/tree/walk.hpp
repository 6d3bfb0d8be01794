// The explicit-stack walk that printing and both traversals share.
#pragma once

#include <mutex>
#include <vector>

#include "tree/node.hpp"

namespace trelm::cst::detail {

struct WalkFrame {
  const Child* next;
  const Child* end;
  const Node* locked;  // null for the caller's list
};

// The frames of a walk; whatever way the walk ends, the locks it still holds
// are given back.
struct WalkStack {
  std::vector<WalkFrame> frames;
  WalkStack() { frames.reserve(16); }
  WalkStack(const WalkStack&) = delete;
  WalkStack& operator=(const WalkStack&) = delete;
  ~WalkStack() {
    for (const WalkFrame& f : frames) {
      if (f.locked != nullptr) f.locked->mutex.unlock_shared();
    }
  }
};

// Visits the tokens below `children` in document order, calling `on_node`
// with the slot of each node before entering it. Each entered node stays
// read-locked until the walk leaves it. `on_token` returns false to stop the
// walk early.
template <typename OnToken, typename OnNode>
void walk(const Children& children, OnToken&& on_token, OnNode&& on_node) {
  WalkStack guard;
  std::vector<WalkFrame>& stack = guard.frames;
  stack.push_back(WalkFrame{children.data(), children.data() + children.size(), nullptr});
  while (!stack.empty()) {
    WalkFrame& top = stack.back();
    if (top.next == top.end) {
      if (top.locked != nullptr) top.locked->mutex.unlock_shared();
      stack.pop_back();
      continue;
    }
    const Child& c = *top.next++;
    if (const Token* t = c.as_token()) {
      if (!on_token(*t)) return;
      continue;
    }
    on_node(c);
    Node* n = c.node_ptr();
    // Room first, so nothing can throw between locking and recording.
    if (stack.size() == stack.capacity()) stack.reserve(2 * stack.capacity());
    n->mutex.lock_shared();
    stack.push_back(WalkFrame{n->children.data(), n->children.data() + n->children.size(), n});
  }
}

}  // namespace trelm::cst::detail
