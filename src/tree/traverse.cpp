#include "tree/traverse.hpp"

#include "tree/walk.hpp"

namespace trelm::cst {

namespace {
void skip_node(const Child&) {}
}  // namespace

void for_each_descendant(const Children& children, const std::function<void(const NodeRef&)>& visit) {
  detail::walk(children, [](const Token&) { return true; }, [&visit](const Child& c) { visit(c.node()); });
}

bool holds_jinja_tag(const Children& children) {
  bool found = false;
  detail::walk(
      children,
      [&found](const Token& t) {
        found = is_jinja_kind(t.kind());
        return !found;
      },
      skip_node);
  return found;
}

}  // namespace trelm::cst
