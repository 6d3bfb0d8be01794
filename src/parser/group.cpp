#include "parser/group.hpp"

#include <functional>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "lexer/jinja_tags.hpp"
#include "parser/query_builder.hpp"
#include "parser/statement.hpp"

namespace trelm::parser {
namespace {

using cst::Child;
using cst::Children;
using cst::NodeTag;
using cst::Token;
using cst::TokenKind;

// An open "(" / "[" (one list, opening token first) or an open Jinja block
// (one list per branch, each starting with the tag that opened it).
struct Frame {
  bool is_paren = false;
  TokenKind closer = TokenKind::RParen;
  std::string name;
  std::vector<Children> branches;

  Children& current() { return branches.back(); }
};

std::string_view name_of(const Token& statement) {
  return lexer::tag_name(statement.text()).value_or(std::string_view{});
}

bool starts_with_end(std::string_view name) { return name.size() >= 3 && name.substr(0, 3) == "end"; }

// A tag name X opens a block only in a file that also holds a tag "end"X.
std::unordered_set<std::string> gather_block_names(const std::vector<Token>& tokens) {
  std::unordered_set<std::string> names;
  for (const Token& t : tokens) {
    if (t.kind != TokenKind::JinjaStatement) continue;
    std::string_view name = name_of(t);
    if (starts_with_end(name)) names.emplace(name.substr(3));
  }
  return names;
}

// Which block frames accept a branch tag: "if" takes elif/else, "for" else.
std::span<const std::string_view> frames_accepting(std::string_view branch) {
  static constexpr std::string_view kElif[] = {"if"};
  static constexpr std::string_view kElse[] = {"if", "for"};
  if (branch == "elif") return kElif;
  if (branch == "else") return kElse;
  return {};
}

// Lets the block index be searched with a string_view, without a copy.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// The paren query check: a "(" whose content starts with SELECT or WITH
// gets that content built into a Query node as it closes.
Children with_query_inside(Children children) {
  const std::size_t close = children.size() - 1;
  std::size_t first = cst::next_significant(children, 1);
  if (first == cst::npos || first >= close) return children;
  if (!starts_query(children, first)) return children;
  std::size_t last = cst::last_significant_before(children, close);
  std::size_t end = same_line_end(children, close, last);

  Children query_part;
  query_part.reserve(end - first);
  for (std::size_t i = first; i < end; ++i) query_part.push_back(std::move(children[i]));
  Children out;
  out.reserve(children.size() - (end - first) + 1);
  for (std::size_t i = 0; i < first; ++i) out.push_back(std::move(children[i]));
  out.emplace_back(build_query(std::move(query_part)));
  for (std::size_t i = end; i < children.size(); ++i) out.push_back(std::move(children[i]));
  return out;
}

// Each branch keeps its tag first; its body is searched for queries.
cst::NodeRef make_branch(Children branch) {
  Children body;
  body.reserve(branch.size() - 1);
  for (std::size_t i = 1; i < branch.size(); ++i) body.push_back(std::move(branch[i]));
  Children structured = structure_sequence(std::move(body));
  Children children;
  children.reserve(structured.size() + 1);
  children.push_back(std::move(branch[0]));
  for (Child& c : structured) children.push_back(std::move(c));
  return cst::make_node(NodeTag::JinjaBranch, std::move(children));
}

void append_all(Children& to, Children& from) {
  if (to.empty()) {
    to = std::move(from);
    return;
  }
  // insert grows the vector geometrically; an exact reserve here would
  // reallocate on every dissolved frame.
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

// Every frame lookup is O(1): open frames are also indexed by closer and by
// block name, so a file of unmatched closers or end tags stays linear.
class Grouper {
 public:
  explicit Grouper(std::unordered_set<std::string> block_names) : block_names_(std::move(block_names)) {}

  void add(Token token) {
    switch (token.kind) {
      case TokenKind::LParen:
      case TokenKind::LBracket:
        open_paren(std::move(token));
        return;
      case TokenKind::RParen:
      case TokenKind::RBracket:
        close_paren(std::move(token));
        return;
      case TokenKind::JinjaStatement:
        add_statement(std::move(token));
        return;
      default:
        current().emplace_back(std::move(token));
    }
  }

  Children finish() {
    if (!frames_.empty()) flatten_into(root_, 0);
    return std::move(root_);
  }

 private:
  Children& current() { return frames_.empty() ? root_ : frames_.back().current(); }

  std::vector<std::size_t>& paren_index(TokenKind closer) {
    return closer == TokenKind::RParen ? open_parens_ : open_brackets_;
  }

  void open_paren(Token token) {
    Frame f;
    f.is_paren = true;
    f.closer = token.kind == TokenKind::LParen ? TokenKind::RParen : TokenKind::RBracket;
    f.branches.emplace_back();
    f.branches.back().emplace_back(std::move(token));
    push(std::move(f));
  }

  void close_paren(Token token) {
    const std::vector<std::size_t>& index = paren_index(token.kind);
    if (index.empty()) {
      current().emplace_back(std::move(token));
      return;
    }
    std::size_t p = index.back();
    flatten_above(p);
    Frame f = pop();
    Children children = std::move(f.branches.back());
    children.emplace_back(std::move(token));
    NodeTag tag = f.closer == TokenKind::RParen ? NodeTag::Paren : NodeTag::Bracket;
    if (tag == NodeTag::Paren) children = with_query_inside(std::move(children));
    current().emplace_back(cst::make_node(tag, std::move(children)));
  }

  void add_statement(Token token) {
    std::string name(name_of(token));
    if (starts_with_end(name)) {
      const std::string_view rest[] = {std::string_view(name).substr(3)};
      if (auto p = find_jinja(rest)) {
        close_block(*p, std::move(token));
        return;
      }
    }
    if (auto p = find_jinja(frames_accepting(name))) {
      flatten_above(*p);
      frames_.back().branches.emplace_back();
      frames_.back().current().emplace_back(std::move(token));
      return;
    }
    if (block_names_.count(name) != 0) {
      Frame f;
      f.name = std::move(name);
      f.branches.emplace_back();
      f.branches.back().emplace_back(std::move(token));
      push(std::move(f));
      return;
    }
    current().emplace_back(std::move(token));
  }

  void close_block(std::size_t p, Token end_tag) {
    flatten_above(p);
    Frame f = pop();
    Children children;
    children.reserve(f.branches.size() + 1);
    for (Children& branch : f.branches) children.emplace_back(make_branch(std::move(branch)));
    children.emplace_back(std::move(end_tag));
    current().emplace_back(cst::make_node(NodeTag::JinjaBlock, std::move(children)));
  }

  // The innermost open block with one of `names`, not reaching across the
  // innermost open bracket.
  std::optional<std::size_t> find_jinja(std::span<const std::string_view> names) {
    std::optional<std::size_t> best;
    for (std::string_view n : names) {
      auto it = blocks_by_name_.find(n);
      if (it == blocks_by_name_.end() || it->second.empty()) continue;
      std::size_t p = it->second.back();
      if (!best || p > *best) best = p;
    }
    if (best && !all_parens_.empty() && all_parens_.back() > *best) return std::nullopt;
    return best;
  }

  void push(Frame f) {
    std::size_t p = frames_.size();
    if (f.is_paren) {
      paren_index(f.closer).push_back(p);
      all_parens_.push_back(p);
    } else {
      blocks_by_name_[f.name].push_back(p);
    }
    frames_.push_back(std::move(f));
  }

  // The popped frame is the innermost one, so it is also the last entry of
  // whichever index holds it.
  Frame pop() {
    Frame f = std::move(frames_.back());
    frames_.pop_back();
    if (f.is_paren) {
      paren_index(f.closer).pop_back();
      all_parens_.pop_back();
    } else {
      blocks_by_name_.find(f.name)->second.pop_back();
    }
    return f;
  }

  // Dissolves every frame above position p into the current list of frame p.
  void flatten_above(std::size_t p) { flatten_into(frames_[p].current(), p + 1); }

  // Moves the contents of frames [from, top] into `target`, outermost first
  // (each inner frame was opened after everything its outer frame holds),
  // then pops them. One move per child, whatever the depth.
  void flatten_into(Children& target, std::size_t from) {
    for (std::size_t i = from; i < frames_.size(); ++i) {
      for (Children& branch : frames_[i].branches) append_all(target, branch);
    }
    while (frames_.size() > from) pop();
  }

  std::unordered_set<std::string> block_names_;
  Children root_;
  std::vector<Frame> frames_;
  std::vector<std::size_t> open_parens_;
  std::vector<std::size_t> open_brackets_;
  std::vector<std::size_t> all_parens_;
  std::unordered_map<std::string, std::vector<std::size_t>, NameHash, std::equal_to<>> blocks_by_name_;
};

}  // namespace

Children group(std::vector<Token> tokens) {
  Grouper grouper(gather_block_names(tokens));
  for (Token& t : tokens) grouper.add(std::move(t));
  return grouper.finish();
}

}  // namespace trelm::parser
