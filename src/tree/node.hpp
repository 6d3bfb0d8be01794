// Interior nodes of the syntax tree, the child slots that hold tokens or
// nodes, and the shared handle through which every node is held.
//
// Invariants:
// - A node is always held through a NodeRef (std::shared_ptr, atomic count);
//   the node lives while any parent slot, document or Python handle holds it.
// - Each node has its own reader/writer lock. Readers lock a node while they
//   look at its kind or children; an edit write-locks the one node whose
//   child list it changes. When two locks are held, the parent's is taken
//   first. No code takes a lock that its own thread already holds.
// - Destroying a node never recurses once per nesting level (see ~Node), so a
//   tree of any depth can be freed.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tree/token.hpp"

namespace trelm::cst {

struct Node;
using NodeRef = std::shared_ptr<Node>;

enum class NodeTag : std::uint8_t {
  Root = 0,
  Paren = 1,
  Bracket = 2,
  JinjaBlock = 3,
  JinjaBranch = 4,
  Query = 5,
  Clause = 6,
  SelectItem = 7,
  Cte = 8,
};

// A node kind; only Clause carries data, its upper-case name ("GROUP BY").
struct NodeKind {
  NodeTag tag = NodeTag::Root;
  std::string name;

  NodeKind() = default;
  NodeKind(NodeTag t) : tag(t) {}  // NOLINT: a plain tag is a kind
  static NodeKind clause(std::string_view name) {
    NodeKind k(NodeTag::Clause);
    k.name = std::string(name);
    return k;
  }

  bool operator==(const NodeKind& o) const {
    return tag == o.tag && (tag != NodeTag::Clause || name == o.name);
  }
};

// One slot of a child list: a token held by value, or a shared node.
class Child {
 public:
  Child(Token t) : v_(std::move(t)) {}      // NOLINT: implicit by design
  Child(NodeRef n) : v_(std::move(n)) {}    // NOLINT: implicit by design

  bool is_token() const { return v_.index() == 0; }
  bool is_node() const { return v_.index() == 1; }
  const Token& token() const { return std::get<0>(v_); }
  Token& token() { return std::get<0>(v_); }
  const NodeRef& node() const { return std::get<1>(v_); }
  NodeRef& node() { return std::get<1>(v_); }

  // Non-null when the slot holds a token; saves a pair of tests in hot loops.
  const Token* as_token() const { return std::get_if<0>(&v_); }

  bool is_token_kind(TokenKind k) const { return is_token() && token().kind == k; }
  bool is_keyword(std::string_view word) const { return is_token() && token().is_keyword(word); }
  // Read-locks the node to compare its kind; false for a token.
  bool is_node_kind(const NodeKind& kind) const;
  bool is_node_tag(NodeTag tag) const;
  bool is_trivia() const { return is_token() && token().is_trivia(); }
  bool is_significant() const { return !is_trivia(); }

 private:
  std::variant<Token, NodeRef> v_;
};

using Children = std::vector<Child>;

struct Node {
  NodeKind kind;
  Children children;
  mutable std::shared_mutex mutex;

  Node(NodeKind k, Children c) : kind(std::move(k)), children(std::move(c)) {}
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  ~Node();

  std::shared_lock<std::shared_mutex> read_lock() const { return std::shared_lock(mutex); }
  std::unique_lock<std::shared_mutex> write_lock() const { return std::unique_lock(mutex); }
};

// Lists are built by moving children out of larger ones, and frames grow
// geometrically, so a list can arrive with several times the room it needs;
// a tree keeps its lists for life, so the slack is given back here.
inline NodeRef make_node(NodeKind kind, Children children) {
  if (children.capacity() - children.size() > children.size() / 8) children.shrink_to_fit();
  return std::make_shared<Node>(std::move(kind), std::move(children));
}

// Positions of the next significant child at or after `from`, and of the last
// one before `end`; `npos` when there is none. A node always counts.
inline constexpr std::size_t npos = static_cast<std::size_t>(-1);
std::size_t next_significant(const Children& children, std::size_t from);
std::size_t next_significant(const Children& children, std::size_t from, std::size_t end);
std::size_t last_significant_before(const Children& children, std::size_t end);

}  // namespace trelm::cst
