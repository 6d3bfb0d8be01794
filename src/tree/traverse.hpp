// The two walks over a subtree. Both are iterative (an explicit stack of
// read-locked nodes), so no input can exhaust the native stack. The caller
// holds the read lock of the starting node; every node below it is
// read-locked while the walk is inside it.
#pragma once

#include <functional>

#include "tree/node.hpp"
#include "tree/walk.hpp"

namespace trelm::cst {

// Every token below `children`, in document order. A template: callers
// visit every token of a file, and a call through std::function for each
// cost as much as the walk.
template <typename Visit>
void for_each_token(const Children& children, Visit&& visit) {
  detail::walk(
      children,
      [&visit](const Token& t) {
        visit(t);
        return true;
      },
      [](const Child&) {});
}

// Every node strictly below `children`, in pre-order. The visitor gets the
// NodeRef before the walk locks that node, so it may lock it itself.
void for_each_descendant(const Children& children, const std::function<void(const NodeRef&)>& visit);

// True when a token of a Jinja tag kind (comment, expression, statement or
// raw block) lies anywhere below `children`.
bool holds_jinja_tag(const Children& children);

}  // namespace trelm::cst
