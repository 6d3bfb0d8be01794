// The explicit-stack walk that printing and both traversals share.
#pragma once

#include <shared_mutex>
#include <vector>

#include "tree/node.hpp"

namespace trelm::cst::detail {

// Visits the tokens below `children` in document order, calling `on_node`
// for each node before entering it. Each entered node stays read-locked until
// the walk leaves it. `on_token` returns false to stop the walk early.
template <typename OnToken, typename OnNode>
void walk(const Children& children, OnToken&& on_token, OnNode&& on_node) {
  struct Frame {
    const Children* list;
    std::size_t next;
    std::shared_lock<std::shared_mutex> lock;
  };
  std::vector<Frame> stack;
  stack.push_back(Frame{&children, 0, {}});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.list->size()) {
      stack.pop_back();
      continue;
    }
    const Child& c = (*top.list)[top.next++];
    if (const Token* t = c.as_token()) {
      if (!on_token(*t)) return;
      continue;
    }
    const NodeRef& n = c.node();
    on_node(n);
    stack.push_back(Frame{&n->children, 0, n->read_lock()});
  }
}

}  // namespace trelm::cst::detail
