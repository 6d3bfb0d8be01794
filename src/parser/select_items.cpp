#include "parser/select_items.hpp"

#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "jinja/template_check.hpp"
#include "lexer/lexer.hpp"
#include "lexer/unicode.hpp"
#include "parser/group.hpp"
#include "parser/query_builder.hpp"
#include "tree/walk.hpp"

namespace trelm::parser {

namespace {

using cst::Child;
using cst::Children;
using cst::NodeRef;
using cst::NodeTag;
using cst::npos;
using cst::TokenKind;

bool statements_only(ConstSlice list, std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    if (!is_statement_only(list[i])) return false;
  }
  return true;
}

// Item ownership of trivia: an item node spans its first through its last
// significant child; the whitespace and comments around it, the separator
// after it and runs with nothing to select stay loose in the clause.
// Records the run [begin, end) and returns how many children it leaves in
// the clause's list.
std::size_t plan_run(ConstSlice list, std::size_t begin, std::size_t end, std::vector<ItemCut>& runs) {
  std::size_t first = next_significant_in(list, begin, end);
  // Trivia before `first` is statement-only already.
  if (first == npos || statements_only(list, first, end)) {
    runs.push_back({begin, end, npos, npos});
    return end - begin;
  }
  std::size_t last = last_significant_in(list, first, end);
  runs.push_back({begin, end, first, last});
  return (first - begin) + 1 + (end - last - 1);
}

bool is_block_or_branch(const cst::Node& node) {
  return node.kind.tag == NodeTag::JinjaBlock || node.kind.tag == NodeTag::JinjaBranch;
}

bool is_separator(const Child& c) {
  return c.is_token_kind(TokenKind::Comma) || (c.is_node() && is_separator_block(c));
}

bool is_statement_only_token(const cst::Token& t) {
  return t.is_trivia() || t.kind() == TokenKind::JinjaStatement;
}

// What one branch says about its block being a separator: yes, no, or "ask
// the block that is the body's only significant child".
struct BranchVerdict {
  bool separator = false;
  NodeRef only_block;
};

// The caller holds the branch's lock.
BranchVerdict judge_branch_body(const Children& branch) {
  BranchVerdict verdict;
  // The first child is the branch's own tag; the body follows it.
  std::size_t first = cst::next_significant(branch, 1);
  if (first == npos) return verdict;
  std::size_t last = cst::last_significant_before(branch, branch.size());
  if (branch[first].is_token_kind(TokenKind::Comma) || branch[last].is_token_kind(TokenKind::Comma)) {
    verdict.separator = true;
  } else if (first == last && branch[first].is_node()) {
    verdict.only_block = branch[first].node();
  }
  return verdict;
}

// Printed length of a child, in bytes, without recursing per level.
std::size_t printed_length(const Child& child) {
  if (const cst::Token* t = child.as_token()) return t->text().size();
  const NodeRef& n = child.node();
  auto lock = n->read_lock();
  std::size_t length = 0;
  cst::detail::walk(
      n->children,
      [&length](const cst::Token& t) {
        length += t.text().size();
        return true;
      },
      [](const Child&) {});
  return length;
}

// Trims White_Space characters from both ends. Malformed UTF-8 is text, so
// an overlong encoding of a blank is kept (only C++ callers can pass one).
std::string_view trim_white_space(std::string_view s) {
  std::size_t begin = 0;
  while (std::size_t length = lexer::unicode::white_space_length(s, begin)) begin += length;
  std::size_t end = s.size();
  while (end > begin) {
    // Back up over continuation bytes to the start of the last character.
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    if (lexer::unicode::white_space_length(s, start) != end - start) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

constexpr std::string_view kEmpty = "a select item cannot be empty";
constexpr std::string_view kSeparator = "a select item cannot contain a top level `,` or `;`";
constexpr std::string_view kClause = "a select item cannot contain a clause keyword";
constexpr std::string_view kOpenEnd = "a select item cannot end in `.` or `distinct`";

// In a list, text follows the item; an opener left unclosed in the item
// could close there and turn the rest of the list, and of the file, into one
// string or comment.
std::optional<ParseError> unclosed_in(std::string_view text, const std::vector<cst::Token>& tokens) {
  std::size_t offset = 0;
  for (const cst::Token& t : tokens) {
    if (t.kind() == TokenKind::Other) {
      std::string_view what = lexer::unclosed_construct(text, offset);
      if (!what.empty()) return error_at(text, offset, "unterminated " + std::string(what));
    }
    offset += t.text().size();
  }
  return std::nullopt;
}

// The item goes into a template: Jinja that does not check on its own (a
// block left open or closed twice, a tag the engine refuses) would make the
// whole file fail to load, or take in the text around the item.
std::optional<ParseError> jinja_problem_in(std::string_view text) {
  if (text.find('{') == std::string_view::npos) return std::nullopt;
  std::vector<jinja::TemplateProblem> problems = jinja::check_template(text);
  if (problems.empty()) return std::nullopt;
  return error_at(text, problems.front().start, problems.front().message);
}

// A clause keyword right after "." or "distinct" is a column name («t.from»)
// or part of a comparison («is distinct from»), so an item ending in one
// would take in the clause that follows the list.
bool holds_next_keyword(const Child& last) {
  const cst::Token* t = last.as_token();
  return t != nullptr && ((t->kind() == TokenKind::Other && t->text() == ".") || last.is_keyword("distinct"));
}

// The message for the child at `i` when it cannot stand in one item.
std::optional<std::string_view> refusal_of(const Children& children, std::size_t i) {
  if (children[i].is_token_kind(TokenKind::Comma) || children[i].is_token_kind(TokenKind::Semicolon)) {
    return kSeparator;
  }
  if (clause_keyword(children, i)) return kClause;
  return std::nullopt;
}

}  // namespace

NodeRef split_list(cst::NodeKind kind, Slice children, std::size_t start, NodeTag item_kind, Scratch& scratch) {
  std::vector<ItemCut>& runs = scratch.items;
  runs.clear();
  std::size_t length = start;
  std::size_t begin = start;
  for (std::size_t p = start; p < children.size(); ++p) {
    if (!is_separator(children[p])) continue;
    length += plan_run(children, begin, p, runs) + 1;
    begin = p + 1;
  }
  length += plan_run(children, begin, children.size(), runs);

  return scratch.node(kind, length, [&](Children& out) {
    append_moved(out, children, 0, start);
    // Making an item uses no scratch list.
    for (const ItemCut& run : runs) {
      if (run.first == npos) {
        append_moved(out, children, run.begin, run.end);
      } else {
        append_moved(out, children, run.begin, run.first);
        Slice item = children.subspan(run.first, run.last + 1 - run.first);
        out.emplace_back(scratch.node(item_kind, item.size(), [item](Children& own) { own.append_moved(item); }));
        append_moved(out, children, run.last + 1, run.end);
      }
      // Every run but the last ends at its separator.
      if (run.end < children.size()) out.push_back(std::move(children[run.end]));
    }
  });
}

// A block is a separator when some branch body starts or ends with a comma,
// or consists of one block that is a separator itself. The nesting of such
// one-block bodies is followed with a work list, not by recursion.
bool is_separator_block(const Child& child) {
  // Most children of a list are not blocks: no work list for them.
  if (!child.is_node_tag(NodeTag::JinjaBlock)) return false;
  std::vector<NodeRef> blocks{child.node()};
  while (!blocks.empty()) {
    NodeRef block = std::move(blocks.back());
    blocks.pop_back();
    auto block_lock = block->read_lock();
    if (block->kind.tag != NodeTag::JinjaBlock) continue;
    for (const Child& c : block->children) {
      if (!c.is_node()) continue;
      const NodeRef& branch = c.node();
      auto branch_lock = branch->read_lock();
      if (branch->kind.tag != NodeTag::JinjaBranch) continue;
      BranchVerdict verdict = judge_branch_body(branch->children);
      if (verdict.separator) return true;
      if (verdict.only_block) blocks.push_back(std::move(verdict.only_block));
    }
  }
  return false;
}

// Blocks within branches within blocks are visited from an explicit stack.
bool is_statement_only(const Child& child) {
  if (const cst::Token* t = child.as_token()) return is_statement_only_token(*t);
  // Most nodes are brackets or queries: answered without a work list.
  if (!is_block_or_branch(*child.node())) return false;
  std::vector<NodeRef> pending{child.node()};
  while (!pending.empty()) {
    NodeRef node = std::move(pending.back());
    pending.pop_back();
    auto lock = node->read_lock();
    if (node->kind.tag != NodeTag::JinjaBlock && node->kind.tag != NodeTag::JinjaBranch) return false;
    for (const Child& c : node->children) {
      if (const cst::Token* t = c.as_token()) {
        if (!is_statement_only_token(*t)) return false;
      } else {
        pending.push_back(c.node());
      }
    }
  }
  return true;
}

SelectItemResult parse_select_item(std::string_view text) {
  std::string_view trimmed = trim_white_space(text);
  lexer::LexResult lexed = lexer::lex(trimmed);
  if (auto* err = std::get_if<lexer::LexError>(&lexed)) return error_at(trimmed, err->offset, err->message);
  // The item goes into a tree that does not keep `text`, so its tokens take
  // copies of their texts.
  std::vector<cst::Token>& tokens = std::get<std::vector<cst::Token>>(lexed);
  if (auto refused = unclosed_in(trimmed, tokens)) return *refused;
  if (auto refused = jinja_problem_in(trimmed)) return *refused;
  for (cst::Token& t : tokens) t = cst::Token(t.kind(), t.text());
  Children children = group(std::move(tokens));
  if (children.empty()) return error_at(trimmed, 0, kEmpty);

  const std::size_t last = cst::last_significant_before(children, children.size());
  std::size_t offset = 0;
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (std::optional<std::string_view> message = refusal_of(children, i)) {
      return error_at(trimmed, offset, *message);
    }
    if (i == last && holds_next_keyword(children[i])) return error_at(trimmed, offset, kOpenEnd);
    offset += printed_length(children[i]);
  }
  return cst::make_node(NodeTag::SelectItem, std::move(children));
}

}  // namespace trelm::parser
