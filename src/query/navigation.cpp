#include "query/navigation.hpp"

#include "query/select_item.hpp"
#include "tree/traverse.hpp"

namespace trelm::query {

namespace {

using cst::Child;
using cst::Children;
using cst::NodeRef;
using cst::NodeTag;

// Clause names of both WITH forms ("WITH", "WITH RECURSIVE") begin this way.
constexpr std::string_view kWithPrefix = "WITH";

// Appends every direct child of `list` that is a node with `tag`. The caller
// holds the lock of the list's owner; each child is locked only for the test.
void append_nodes_tagged(const Children& list, NodeTag tag, std::vector<NodeRef>& out) {
  for (const Child& c : list) {
    if (c.is_node_tag(tag)) out.push_back(c.node());
  }
}

// The Clause children of a query whose name satisfies `keep`, compared in
// place under each clause's lock so that no name is copied.
template <typename Keep>
std::vector<NodeRef> clauses_where(const NodeRef& query, Keep keep) {
  std::vector<NodeRef> out;
  auto lock = query->read_lock();
  for (const Child& c : query->children) {
    if (!c.is_node()) continue;
    const NodeRef& n = c.node();
    auto child_lock = n->read_lock();
    if (n->kind.tag == NodeTag::Clause && keep(n->kind.name())) out.push_back(n);
  }
  return out;
}

// The first Query directly inside a Paren child; the caller holds the lock
// of the list's owner, the Paren is locked while its children are looked at.
std::optional<NodeRef> query_in_paren(const NodeRef& paren) {
  auto lock = paren->read_lock();
  if (paren->kind.tag != NodeTag::Paren) return std::nullopt;
  for (const Child& c : paren->children) {
    if (c.is_node_tag(NodeTag::Query)) return c.node();
  }
  return std::nullopt;
}

}  // namespace

bool is_with_clause_name(std::string_view name) { return name.substr(0, kWithPrefix.size()) == kWithPrefix; }

cst::Node* top_query(const cst::Document& doc) {
  auto lock = doc.root->read_lock();
  for (const Child& c : doc.root->children) {
    if (c.is_node_tag(NodeTag::Query)) return c.node_ptr();
  }
  return nullptr;
}

std::optional<NodeRef> query(const cst::Document& doc) {
  auto lock = doc.root->read_lock();
  for (const Child& c : doc.root->children) {
    if (c.is_node_tag(NodeTag::Query)) return c.node();
  }
  return std::nullopt;
}

std::vector<NodeRef> queries(const cst::Document& doc) {
  std::vector<NodeRef> out;
  auto lock = doc.root->read_lock();
  // The walk hands each node over before locking it, so the visitor may take
  // the node's lock for the kind test.
  cst::for_each_descendant(doc.root->children, [&out](const NodeRef& n) {
    auto node_lock = n->read_lock();
    if (n->kind.tag == NodeTag::Query) out.push_back(n);
  });
  return out;
}

std::vector<NodeRef> clauses(const NodeRef& query) {
  return clauses_where(query, [](std::string_view) { return true; });
}

std::vector<NodeRef> selects(const NodeRef& query) {
  return clauses_where(query, [](std::string_view name) { return name == "SELECT"; });
}

std::optional<NodeRef> first_select(const NodeRef& query) {
  auto all = selects(query);
  if (all.empty()) return std::nullopt;
  return all.front();
}

std::vector<NodeRef> ctes(const NodeRef& query) {
  std::vector<NodeRef> out;
  for (const NodeRef& clause : clauses_where(query, is_with_clause_name)) {
    auto lock = clause->read_lock();
    append_nodes_tagged(clause->children, NodeTag::Cte, out);
  }
  return out;
}

std::optional<NodeRef> cte(const NodeRef& query, std::string_view name) {
  for (const NodeRef& c : ctes(query)) {
    auto lock = c->read_lock();
    auto found = cte_name(c->children);
    if (found && cst::equals_folded(*found, name)) return c;
  }
  return std::nullopt;
}

std::optional<std::string> cte_name(const Children& cte_children) {
  std::size_t i = cst::next_significant(cte_children, 0);
  if (i == cst::npos) return std::nullopt;
  const cst::Token* t = cte_children[i].as_token();
  if (t == nullptr) return std::nullopt;
  if (t->kind() != cst::TokenKind::Word && t->kind() != cst::TokenKind::QuotedIdentifier) return std::nullopt;
  return unquote(t->text());
}

std::optional<NodeRef> cte_query(const Children& cte_children) {
  // A column list «x (a, b) as (...)» is a Paren too; it holds no query and
  // is passed over.
  for (const Child& c : cte_children) {
    if (!c.is_node()) continue;
    if (auto q = query_in_paren(c.node())) return q;
  }
  return std::nullopt;
}

cst::Node* cte_body(const Children& cte_children) {
  // As cte_query: the first Paren child that holds a Query directly.
  for (const Child& c : cte_children) {
    const cst::Node* paren = c.node_ptr();
    if (paren == nullptr) continue;
    auto lock = paren->read_lock();
    if (paren->kind.tag != NodeTag::Paren) continue;
    for (const Child& inner : paren->children) {
      if (inner.is_node_tag(NodeTag::Query)) return inner.node_ptr();
    }
  }
  return nullptr;
}

std::vector<NodeRef> select_items(const Children& select_children) {
  std::vector<NodeRef> out;
  append_nodes_tagged(select_children, NodeTag::SelectItem, out);
  return out;
}

}  // namespace trelm::query
