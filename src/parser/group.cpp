#include "parser/group.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "lexer/jinja_tags.hpp"
#include "parser/query_builder.hpp"
#include "parser/statement.hpp"

namespace trelm::parser {
namespace {

using cst::Child;
using cst::Children;
using cst::NodeRef;
using cst::NodeTag;
using cst::npos;
using cst::Token;
using cst::TokenKind;

constexpr std::uint32_t kNoName = UINT32_MAX;

enum class BranchTag : std::uint8_t { None, Elif, Else };

// What grouping needs to know of one statement tag, worked out before
// grouping so that grouping itself compares no text.
struct TagRole {
  std::uint32_t name = kNoName;    // id of its tag name
  std::uint32_t closes = kNoName;  // id of X for a tag named "end"X
  BranchTag branch = BranchTag::None;
  bool opens = false;              // its name is a block name
};

// The roles of a file's statement tags, in token order, and the ids of the
// names that accept branch tags.
struct TagRoles {
  std::vector<TagRole> roles;
  std::uint32_t name_count = 0;
  std::uint32_t if_name = kNoName;
  std::uint32_t for_name = kNoName;
};

std::string_view name_of(const Token& statement) {
  return lexer::tag_name(statement.text()).value_or(std::string_view{});
}

bool starts_with_end(std::string_view name) { return name.size() >= 3 && name.substr(0, 3) == "end"; }

// Lets the name index be searched with a string_view, without a copy.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// Small ids for tag names. The names are copied: the tokens they come from
// move during grouping.
class NameIds {
 public:
  std::uint32_t id_of(std::string_view name) {
    auto it = ids_.find(name);
    if (it != ids_.end()) return it->second;
    auto id = static_cast<std::uint32_t>(ids_.size());
    ids_.emplace(std::string(name), id);
    return id;
  }
  std::uint32_t find(std::string_view name) const {
    auto it = ids_.find(name);
    return it == ids_.end() ? kNoName : it->second;
  }
  std::uint32_t size() const { return static_cast<std::uint32_t>(ids_.size()); }

 private:
  std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> ids_;
};

// One pass over the tokens. A tag name X opens a block only in a file that
// also holds a tag "end"X, so which tags open blocks is known only at the end.
TagRoles read_tag_roles(const std::vector<Token>& tokens) {
  TagRoles out;
  NameIds ids;
  std::vector<bool> is_block_name;
  for (const Token& t : tokens) {
    if (t.kind != TokenKind::JinjaStatement) continue;
    std::string_view name = name_of(t);
    TagRole role;
    role.name = ids.id_of(name);
    if (starts_with_end(name)) {
      role.closes = ids.id_of(name.substr(3));
      if (is_block_name.size() <= role.closes) is_block_name.resize(role.closes + 1);
      is_block_name[role.closes] = true;
    }
    if (name == "elif") role.branch = BranchTag::Elif;
    if (name == "else") role.branch = BranchTag::Else;
    out.roles.push_back(role);
  }
  for (TagRole& role : out.roles) role.opens = role.name < is_block_name.size() && is_block_name[role.name];
  out.name_count = ids.size();
  out.if_name = ids.find("if");
  out.for_name = ids.find("for");
  return out;
}

// The paren query check: a "(" whose content starts with SELECT or WITH
// gets that content built into a Query node as it closes. `inner` is the
// "(" and what follows it.
NodeRef paren_node(Slice inner, Token close, Scratch& scratch) {
  std::size_t first = next_significant_in(inner, 1, inner.size());
  std::size_t start = inner.size();
  std::size_t end = inner.size();
  if (first != npos && starts_query(inner, first)) {
    start = first;
    end = same_line_end(inner, inner.size(), last_significant_in(inner, first, inner.size()));
  }
  Children children;
  children.reserve(start + (start < end ? 1 : 0) + (inner.size() - end) + 1);
  append_moved(children, inner, 0, start);
  if (start < end) children.emplace_back(build_query(inner.subspan(start, end - start), scratch));
  append_moved(children, inner, end, inner.size());
  children.emplace_back(std::move(close));
  return scratch.node(NodeTag::Paren, std::move(children));
}

NodeRef bracket_node(Slice inner, Token close, const Scratch& scratch) {
  Children children;
  children.reserve(inner.size() + 1);
  append_moved(children, inner, 0, inner.size());
  children.emplace_back(std::move(close));
  return scratch.node(NodeTag::Bracket, std::move(children));
}

enum class Shape : std::uint8_t { Paren, Bracket, Block };

// An open "(", "[" or Jinja block. Its children lie on the grouper's stack
// from `start` up to the next frame's start (or the top); a block's
// branches start at the stack positions recorded from `first_branch` on.
// Frames link to the next open frame outwards that a closer could also
// match, so every lookup is O(1) and unmatched closers stay linear.
struct Frame {
  std::size_t start = 0;
  std::size_t first_branch = 0;
  std::size_t outer_same = npos;     // same closer, or same block name
  std::size_t outer_bracket = npos;  // any "(" or "["
  std::uint32_t name = kNoName;      // blocks only
  Shape shape = Shape::Paren;
};

// One stack holds the children of the root and of every open frame, in
// source order. Closing a frame builds its node from the top of the stack
// at its exact size; dissolving a frame that never closed only forgets the
// frame, since its children are already where they belong.
class Grouper {
 public:
  Grouper(std::size_t token_count, TagRoles tags, Scratch& scratch)
      : tags_(std::move(tags)), innermost_block_(tags_.name_count, npos), scratch_(scratch) {
    stack_.reserve(token_count);
  }

  void add(Token&& token) {
    switch (token.kind) {
      case TokenKind::LParen:
        push_frame(Shape::Paren, kNoName);
        stack_.emplace_back(std::move(token));
        return;
      case TokenKind::LBracket:
        push_frame(Shape::Bracket, kNoName);
        stack_.emplace_back(std::move(token));
        return;
      case TokenKind::RParen:
      case TokenKind::RBracket:
        close_bracket(std::move(token));
        return;
      case TokenKind::JinjaStatement:
        add_statement(std::move(token), tags_.roles[next_role_++]);
        return;
      default:
        stack_.emplace_back(std::move(token));
    }
  }

  // Frames still open are dissolved: their children stay on the stack.
  Children finish() { return std::move(stack_); }

 private:
  void close_bracket(Token&& token) {
    std::size_t p = innermost_closer_[token.kind == TokenKind::RParen ? 0 : 1];
    if (p == npos) {
      stack_.emplace_back(std::move(token));
      return;
    }
    flatten_above(p);
    const Frame f = pop_frame();
    Slice inner = top_from(f.start);
    NodeRef node = f.shape == Shape::Paren ? paren_node(inner, std::move(token), scratch_)
                                           : bracket_node(inner, std::move(token), scratch_);
    replace_top(f.start, std::move(node));
  }

  void add_statement(Token&& token, const TagRole& role) {
    if (role.closes != kNoName) {
      std::size_t p = open_block(role.closes);
      if (p != npos) {
        close_block(p, std::move(token));
        return;
      }
    }
    if (role.branch != BranchTag::None) {
      std::size_t p = branch_owner(role.branch);
      if (p != npos) {
        flatten_above(p);
        branch_starts_.push_back(stack_.size());
        stack_.emplace_back(std::move(token));
        return;
      }
    }
    if (role.opens) push_frame(Shape::Block, role.name);
    stack_.emplace_back(std::move(token));
  }

  // Each branch keeps its tag first; its body is searched for queries.
  void close_block(std::size_t p, Token&& end_tag) {
    flatten_above(p);
    const Frame& f = frames_.back();
    Children children;
    children.reserve(branch_starts_.size() - f.first_branch + 1);
    for (std::size_t b = f.first_branch; b < branch_starts_.size(); ++b) {
      const std::size_t begin = branch_starts_[b];
      const std::size_t end = b + 1 < branch_starts_.size() ? branch_starts_[b + 1] : stack_.size();
      Slice branch(stack_.data() + begin, end - begin);
      children.emplace_back(scratch_.node(NodeTag::JinjaBranch, structure_sequence(branch, 1, scratch_)));
    }
    children.emplace_back(std::move(end_tag));
    const std::size_t start = pop_frame().start;
    replace_top(start, scratch_.node(NodeTag::JinjaBlock, std::move(children)));
  }

  // The innermost open block named `name`, not reaching across the
  // innermost open bracket; npos when there is none.
  std::size_t open_block(std::uint32_t name) const {
    if (name == kNoName) return npos;
    std::size_t p = innermost_block_[name];
    if (p == npos || (innermost_bracket_ != npos && innermost_bracket_ > p)) return npos;
    return p;
  }

  // "if" takes elif and else, "for" takes else.
  std::size_t branch_owner(BranchTag branch) const {
    std::size_t p = open_block(tags_.if_name);
    if (branch == BranchTag::Elif) return p;
    std::size_t q = open_block(tags_.for_name);
    if (p == npos) return q;
    if (q == npos) return p;
    return p > q ? p : q;
  }

  void push_frame(Shape shape, std::uint32_t name) {
    Frame f;
    f.start = stack_.size();
    f.first_branch = branch_starts_.size();
    f.outer_bracket = innermost_bracket_;
    f.name = name;
    f.shape = shape;
    const std::size_t p = frames_.size();
    if (shape == Shape::Block) {
      f.outer_same = std::exchange(innermost_block_[name], p);
      branch_starts_.push_back(f.start);
    } else {
      f.outer_same = std::exchange(innermost_closer_[shape == Shape::Paren ? 0 : 1], p);
      innermost_bracket_ = p;
    }
    frames_.push_back(f);
  }

  Frame pop_frame() {
    const Frame f = frames_.back();
    frames_.pop_back();
    if (f.shape == Shape::Block) {
      innermost_block_[f.name] = f.outer_same;
      branch_starts_.resize(f.first_branch);
    } else {
      innermost_closer_[f.shape == Shape::Paren ? 0 : 1] = f.outer_same;
      innermost_bracket_ = f.outer_bracket;
    }
    return f;
  }

  // Dissolves every frame above position p.
  void flatten_above(std::size_t p) {
    while (frames_.size() > p + 1) pop_frame();
  }

  Slice top_from(std::size_t start) { return Slice(stack_.data() + start, stack_.size() - start); }

  // The moved-from children from `start` up are replaced by their node.
  void replace_top(std::size_t start, NodeRef node) {
    stack_.erase(stack_.begin() + static_cast<std::ptrdiff_t>(start), stack_.end());
    stack_.emplace_back(std::move(node));
  }

  TagRoles tags_;
  std::size_t next_role_ = 0;
  Children stack_;
  std::vector<Frame> frames_;
  std::vector<std::size_t> branch_starts_;
  std::vector<std::size_t> innermost_block_;  // by name id
  std::size_t innermost_closer_[2] = {npos, npos};  // ")" and "]"
  std::size_t innermost_bracket_ = npos;
  Scratch& scratch_;
};

}  // namespace

Children group(std::vector<Token> tokens, Scratch& scratch) {
  // The stack never holds more children than tokens came in, so it is
  // reserved once and never moves its children.
  Grouper grouper(tokens.size(), read_tag_roles(tokens), scratch);
  for (Token& t : tokens) grouper.add(std::move(t));
  return grouper.finish();
}

Children group(std::vector<Token> tokens) {
  Scratch scratch;
  return group(std::move(tokens), scratch);
}

}  // namespace trelm::parser
