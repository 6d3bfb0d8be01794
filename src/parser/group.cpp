#include "parser/group.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
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

std::string_view name_of(std::string_view statement) {
  return lexer::tag_name(statement).value_or(std::string_view{});
}

bool starts_with_end(std::string_view name) { return name.size() >= 3 && name.substr(0, 3) == "end"; }

// What grouping needs to know of a statement tag name, worked out once per
// name, so that grouping compares no text beyond finding the name's id.
struct TagRole {
  std::uint32_t closes = kNoName;  // id of X for a name "end"X
  BranchTag branch = BranchTag::None;
  bool opens = false;              // one of the block names grouping was given
  bool closer_seen = false;        // a tag "end"<this name> has come by
  bool opened = false;             // a tag of this name has opened a frame
};

// Small ids for the tag names of one file, given as the names come by. The
// names are copied: the tokens they come from move during grouping.
class TagNames {
 public:
  explicit TagNames(const BlockNames& blocks) : blocks_(blocks) {}

  std::uint32_t id_of(std::string_view name) {
    auto it = ids_.find(name);
    if (it != ids_.end()) return it->second;
    TagRole role;
    if (starts_with_end(name)) role.closes = id_of(name.substr(3));
    if (name == "elif") role.branch = BranchTag::Elif;
    if (name == "else") role.branch = BranchTag::Else;
    role.opens = blocks_.contains(name);
    const auto id = static_cast<std::uint32_t>(roles_.size());
    if (name == "if") if_id_ = id;
    if (name == "for") for_id_ = id;
    roles_.push_back(role);
    ids_.emplace(std::string(name), id);
    return id;
  }

  TagRole& role(std::uint32_t id) { return roles_[id]; }
  std::uint32_t count() const { return static_cast<std::uint32_t>(roles_.size()); }
  std::uint32_t if_id() const { return if_id_; }
  std::uint32_t for_id() const { return for_id_; }

  // Whether the block names given were right for every tag that opened a
  // frame. A guess may name too many; one that opened a frame then shows.
  bool opened_only_blocks() const {
    return std::none_of(roles_.begin(), roles_.end(), [](const TagRole& r) { return r.opened && !r.closer_seen; });
  }

  // The names that an end tag of the file closes.
  BlockNames closed_names() const {
    BlockNames out;
    for (const auto& [name, id] : ids_) {
      if (roles_[id].closer_seen) out.insert(name);
    }
    return out;
  }

 private:
  const BlockNames& blocks_;
  std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> ids_;
  std::vector<TagRole> roles_;
  std::uint32_t if_id_ = kNoName;
  std::uint32_t for_id_ = kNoName;
};

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
  const std::size_t count = start + (start < end ? 1 : 0) + (inner.size() - end) + 1;
  return scratch.node(NodeTag::Paren, count, [&](Children& out) {
    append_moved(out, inner, 0, start);
    if (start < end) out.emplace_back(build_query(inner.subspan(start, end - start), scratch));
    append_moved(out, inner, end, inner.size());
    out.emplace_back(std::move(close));
  });
}

NodeRef bracket_node(Slice inner, Token close, const Scratch& scratch) {
  return scratch.node(NodeTag::Bracket, inner.size() + 1, [&](Children& out) {
    out.append_moved(inner);
    out.emplace_back(std::move(close));
  });
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
//
// Grouping a whole file also structures it as it goes: a top-level ";" with
// no frame open ends what any later token can reach, so the statements
// before it are structured into the root's list then and the stack starts
// over. Cutting there finds the same queries as structuring the whole list,
// since a query never reaches past a top-level ";" and where the next one
// starts depends on nothing before it.
class Grouper final : public lexer::TokenSink {
 public:
  enum class Output : std::uint8_t { Grouped, Structured };

  Grouper(const BlockNames& blocks, Output output, Scratch& scratch)
      : names_(blocks), output_(output), scratch_(scratch) {
    if (output_ == Output::Structured) swap_room(thread_room());
  }
  ~Grouper() {
    if (output_ != Output::Structured) return;
    ListRoom& spare = thread_room();
    swap_room(spare);
    spare.empty_and_keep_if_small();
  }
  Grouper(const Grouper&) = delete;
  Grouper& operator=(const Grouper&) = delete;

  void reserve(std::size_t token_count) { stack_.reserve(token_count); }

  // A long token's record goes with the parse's other memory, so that the
  // tree owns nothing outside its buffer.
  void* record_room(std::size_t bytes) override {
    return scratch_.source ? scratch_.source.get()->carve(bytes) : nullptr;
  }

  // Most tokens only go onto the stack: they are put there in this loop,
  // and only the few that open, close or end something take the way
  // through add().
  void take(std::span<Token> batch) override {
    stack_.make_room(batch.size());
    for (Token& t : batch) {
      if (((kSpecialKinds >> static_cast<unsigned>(t.kind())) & 1) == 0) {
        stack_.emplace_back(std::move(t));
      } else {
        add(std::move(t));
      }
    }
  }

  [[gnu::noinline]] void add(Token&& token) {
    switch (token.kind()) {
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
        add_statement(std::move(token));
        return;
      case TokenKind::Semicolon:
        stack_.emplace_back(std::move(token));
        if (output_ == Output::Structured && frames_.empty()) structure_stack();
        return;
      default:
        stack_.emplace_back(std::move(token));
    }
  }

  // Frames still open are dissolved: their children stay on the stack.
  Children finish() { return std::move(stack_); }

  // The root node of a structured stream; the lists keep their room.
  NodeRef finish_root() {
    structure_stack();
    return scratch_.node(NodeTag::Root, done_);
  }

  const TagNames& names() const { return names_; }

 private:
  // The room of the lists a structured stream grows, its own and the
  // scratch's position records, kept by each thread from one file to the
  // next: a tool parses thousands of small files, and growing these lists
  // anew was a third of a parse's allocations. Room past what a large file
  // needs is given back.
  struct ListRoom {
    Children stack, done;
    std::vector<Frame> frames;
    std::vector<std::size_t> branch_starts;
    std::vector<QueryCut> queries;
    std::vector<ClauseCut> clauses;
    std::vector<ItemCut> items;

    void empty_and_keep_if_small() {
      empty_and_keep_if_small(stack);
      empty_and_keep_if_small(done);
      empty_and_keep_if_small(frames);
      empty_and_keep_if_small(branch_starts);
      empty_and_keep_if_small(queries);
      empty_and_keep_if_small(clauses);
      empty_and_keep_if_small(items);
    }
    template <typename List>
    static void empty_and_keep_if_small(List& list) {
      list.clear();
      if (list.capacity() > (std::size_t{1} << 16)) list = List();
    }
  };
  static ListRoom& thread_room() {
    thread_local ListRoom room;
    return room;
  }
  void swap_room(ListRoom& room) {
    stack_.swap(room.stack);
    done_.swap(room.done);
    frames_.swap(room.frames);
    branch_starts_.swap(room.branch_starts);
    scratch_.queries.swap(room.queries);
    scratch_.clauses.swap(room.clauses);
    scratch_.items.swap(room.items);
  }

  static constexpr std::uint32_t kSpecialKinds =
      1u << static_cast<unsigned>(TokenKind::LParen) | 1u << static_cast<unsigned>(TokenKind::LBracket) |
      1u << static_cast<unsigned>(TokenKind::RParen) | 1u << static_cast<unsigned>(TokenKind::RBracket) |
      1u << static_cast<unsigned>(TokenKind::JinjaStatement) | 1u << static_cast<unsigned>(TokenKind::Semicolon);
  static_assert(static_cast<unsigned>(TokenKind::Other) < 32);

  void close_bracket(Token&& token) {
    std::size_t p = innermost_closer_[token.kind() == TokenKind::RParen ? 0 : 1];
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

  void structure_stack() {
    append_structured(slice_of(stack_), 0, scratch_, done_);
    stack_.drop_moved(0);
  }

  void add_statement(Token&& token) {
    const std::uint32_t id = names_.id_of(name_of(token.text()));
    if (innermost_block_.size() < names_.count()) innermost_block_.resize(names_.count(), npos);
    const TagRole role = names_.role(id);
    if (role.closes != kNoName) {
      names_.role(role.closes).closer_seen = true;
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
    if (role.opens) push_frame(Shape::Block, id);
    stack_.emplace_back(std::move(token));
  }

  // Each branch keeps its tag first; its body is searched for queries.
  void close_block(std::size_t p, Token&& end_tag) {
    flatten_above(p);
    const std::size_t first_branch = frames_.back().first_branch;
    NodeRef block = scratch_.node(NodeTag::JinjaBlock, branch_starts_.size() - first_branch + 1, [&](Children& out) {
      for (std::size_t b = first_branch; b < branch_starts_.size(); ++b) {
        const std::size_t begin = branch_starts_[b];
        const std::size_t end = b + 1 < branch_starts_.size() ? branch_starts_[b + 1] : stack_.size();
        Slice branch(stack_.data() + begin, end - begin);
        out.emplace_back(structured_node(NodeTag::JinjaBranch, branch, 1, scratch_));
      }
      out.emplace_back(std::move(end_tag));
    });
    const std::size_t start = pop_frame().start;
    replace_top(start, std::move(block));
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
    std::size_t p = open_block(names_.if_id());
    if (branch == BranchTag::Elif) return p;
    std::size_t q = open_block(names_.for_id());
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
      names_.role(name).opened = true;
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
    stack_.drop_moved(start);
    stack_.emplace_back(std::move(node));
  }

  TagNames names_;
  Output output_;
  Children stack_;
  Children done_;  // the root's structured list so far
  std::vector<Frame> frames_;
  std::vector<std::size_t> branch_starts_;
  std::vector<std::size_t> innermost_block_;  // by name id
  std::size_t innermost_closer_[2] = {npos, npos};  // ")" and "]"
  std::size_t innermost_bracket_ = npos;
  Scratch& scratch_;
};

// Every name X of a statement tag "{% end"X" %}" of the file.
BlockNames block_names_of(const std::vector<Token>& tokens) {
  BlockNames out;
  for (const Token& t : tokens) {
    if (t.kind() != TokenKind::JinjaStatement) continue;
    std::string_view name = name_of(t.text());
    if (starts_with_end(name)) out.emplace(name.substr(3));
  }
  return out;
}

// The same read from the raw text, before it is lexed: every "{%" is taken
// for a tag, so a "{% end"X" %}" inside a string or comment names X too.
// The set never misses a name: a tag's name is read from its first bytes,
// which are the same here.
BlockNames block_names_guessed(std::string_view source) {
  BlockNames out;
  for (std::size_t at = source.find("{%"); at != std::string_view::npos; at = source.find("{%", at + 2)) {
    std::string_view name = name_of(source.substr(at));
    if (starts_with_end(name)) out.emplace(name.substr(3));
  }
  return out;
}

// What one lex of `source` into a grouper gives: the root's children, the
// lexer's error, or the block names to group with again.
struct StreamOutcome {
  NodeRef root;
  std::optional<lexer::LexError> error;
  std::optional<BlockNames> regroup_with;
};

StreamOutcome group_stream(std::string_view source, const BlockNames& blocks, bool exact, Scratch& scratch) {
  StreamOutcome out;
  Grouper grouper(blocks, Grouper::Output::Structured, scratch);
  out.error = lexer::lex_into(source, grouper);
  if (out.error) return out;
  if (!exact && !grouper.names().opened_only_blocks()) {
    out.regroup_with = grouper.names().closed_names();
    return out;
  }
  out.root = grouper.finish_root();
  return out;
}

}  // namespace

Children group(std::vector<Token> tokens, Scratch& scratch) {
  // The stack never holds more children than tokens came in, so it is
  // reserved once and never moves its children.
  const BlockNames blocks = block_names_of(tokens);
  Grouper grouper(blocks, Grouper::Output::Grouped, scratch);
  grouper.reserve(tokens.size());
  grouper.take(tokens);
  return grouper.finish();
}

Children group(std::vector<Token> tokens) {
  Scratch scratch;
  return group(std::move(tokens), scratch);
}

std::variant<NodeRef, lexer::LexError> group_source(std::string_view source, Scratch& scratch,
                                                    std::shared_ptr<const void> owner) {
  // The block names are guessed from the raw text so that grouping can
  // start with the first token. A guess that named a block too many, and
  // used it, is rare (an "end" tag quoted or commented out); the file is
  // then grouped again, in a fresh buffer, with the names the lex found.
  BlockNames blocks = block_names_guessed(source);
  for (bool exact : {false, true}) {
    scratch.source = cst::TextRef(owner ? cst::TextBuffer::borrowing(source, owner) : cst::TextBuffer::copy_of(source));
    StreamOutcome out = group_stream(scratch.source.get()->view(), blocks, exact, scratch);
    if (out.error) return *std::move(out.error);
    if (!out.regroup_with) {
      scratch.source.get()->forget_parse_handles();
      return std::move(out.root);
    }
    blocks = *std::move(out.regroup_with);
  }
  return scratch.node(NodeTag::Root, 0, [](Children&) {});  // not reached: the second try takes the names as exact
}

}  // namespace trelm::parser
