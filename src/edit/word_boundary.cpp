#include "edit/word_boundary.hpp"

#include <optional>
#include <string>

#include "edit/layout.hpp"
#include "edit/select_edit.hpp"

namespace trelm::edit::detail {
namespace {

bool is_word_byte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
         c >= 0x80;
}

// The text of the first (or last) token under the child; nullopt when the
// child holds no token. Descends one node at a time, never recursing.
std::optional<std::string> edge_token_text(const cst::Child& child, bool first) {
  if (const cst::Token* t = child.as_token()) return std::string(t->text());
  cst::NodeRef node = child.node();
  while (true) {
    cst::NodeRef next;
    {
      auto lock = node->read_lock();
      const cst::Children& c = node->children;
      if (c.empty()) return std::nullopt;
      const cst::Child& edge = first ? c.front() : c.back();
      if (const cst::Token* t = edge.as_token()) return std::string(t->text());
      next = edge.node();
    }
    node = std::move(next);
  }
}

}  // namespace

bool starts_with_word_char(const cst::Child& child) {
  std::optional<std::string> text = edge_token_text(child, true);
  return text && !text->empty() && is_word_byte(static_cast<unsigned char>(text->front()));
}

bool ends_with_word_char(const cst::Child& child) {
  std::optional<std::string> text = edge_token_text(child, false);
  return text && !text->empty() && is_word_byte(static_cast<unsigned char>(text->back()));
}

bool keep_words_apart(cst::Node& node, std::size_t j) {
  cst::Children& c = node.children;
  if (j == 0 || j >= c.size()) return false;
  if (!ends_with_word_char(c[j - 1]) || !starts_with_word_char(c[j])) return false;
  c.insert(c.begin() + static_cast<std::ptrdiff_t>(j), cst::Child(whitespace_token(" ")));
  return true;
}

void keep_end_apart(cst::Node& node, bool word_follows) {
  if (!word_follows || node.children.empty() || !ends_with_word_char(node.children.back())) return;
  node.children.emplace_back(whitespace_token(" "));
}

}  // namespace trelm::edit::detail

namespace trelm::edit {

Following following_of(const cst::Children& parent, const cst::NodeRef& child) {
  for (std::size_t i = 0; i + 1 < parent.size(); ++i) {
    if (!parent[i].is_node() || parent[i].node() != child) continue;
    const cst::Child& next = parent[i + 1];
    return Following{detail::starts_with_word_char(next), detail::holds_line_break(next)};
  }
  return {};
}

}  // namespace trelm::edit
