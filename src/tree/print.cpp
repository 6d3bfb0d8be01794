#include "tree/print.hpp"

#include "tree/walk.hpp"

namespace trelm::cst {

void print_children(const Children& children, std::string& out) {
  detail::walk(
      children,
      [&out](const Token& t) {
        out += t.text;
        return true;
      },
      [](const NodeRef&) {});
}

void print_child(const Child& child, std::string& out) {
  if (const Token* t = child.as_token()) {
    out += t->text;
    return;
  }
  auto lock = child.node()->read_lock();
  print_children(child.node()->children, out);
}

std::string node_text(const NodeRef& node) {
  std::string out;
  auto lock = node->read_lock();
  print_children(node->children, out);
  return out;
}

std::string document_text(const Document& doc) { return node_text(doc.root); }

}  // namespace trelm::cst
