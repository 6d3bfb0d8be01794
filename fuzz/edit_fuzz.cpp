// Edit-then-reparse invariant: the last bytes of the input choose a sequence
// of edits (add, remove or re-text a column of the first SELECT list of the
// top-level query, or of the first query when there is none; set,
// set raw or remove a config key). After each, every byte outside the edited
// clause or config tag is unchanged, the printed document parses again and
// its list holds the same items (compared without the comments a reparse
// leaves outside an item). An item made of a comment alone is no item after
// a reparse, so a list holding one is only checked to reparse.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "around.hpp"
#include "fuzz_check.hpp"
#include "edit/config_edit.hpp"
#include "edit/select_edit.hpp"
#include "lexer/jinja_tags.hpp"
#include "lexer/lexer.hpp"
#include "parser/parse.hpp"
#include "parser/select_items.hpp"
#include "query/metadata.hpp"
#include "query/navigation.hpp"
#include "tree/print.hpp"
#include "tree/walk.hpp"

namespace {

using trelm::cst::Children;
using trelm::cst::NodeRef;

// The item's text from its first to its last significant child.
std::string significant_text(const NodeRef& item) {
  auto lock = item->read_lock();
  const Children& c = item->children;
  std::size_t first = trelm::cst::next_significant(c, 0);
  if (first == trelm::cst::npos) return {};
  std::size_t last = trelm::cst::last_significant_before(c, c.size());
  std::string out;
  for (std::size_t i = first; i <= last; ++i) trelm::cst::print_child(c[i], out);
  return out;
}

bool starts_with_modifier(const NodeRef& item) {
  auto lock = item->read_lock();
  const Children& c = item->children;
  std::size_t first = trelm::cst::next_significant(c, 0);
  if (first == trelm::cst::npos) return false;
  return c[first].is_keyword("distinct") || c[first].is_keyword("all") || c[first].is_keyword("top");
}

// Significant texts of the items, or nullopt when some item is only a
// comment or not a stand-alone item.
std::optional<std::vector<std::string>> items_text(const NodeRef& select) {
  std::vector<NodeRef> items;
  {
    auto lock = select->read_lock();
    items = trelm::query::select_items(select->children);
  }
  std::vector<std::string> out;
  for (const NodeRef& item : items) {
    std::string t = significant_text(item);
    if (t.empty()) return std::nullopt;
    // An item the parser made only because of what stood before it («from
    // r» after «select distinct») is no stand-alone item: an edit next to it
    // may change how it reads, so such lists are not compared.
    if (!std::holds_alternative<NodeRef>(trelm::parser::parse_select_item(t))) return std::nullopt;
    // Nor is an item that starts with a SELECT modifier word: once it is the
    // first item, the word reads as the modifier.
    if (starts_with_modifier(item)) return std::nullopt;
    out.push_back(t);
  }
  return out;
}

// Bytes of document text before `node`.
std::size_t offset_of(const trelm::cst::Document& doc, const NodeRef& node) {
  std::size_t offset = 0;
  bool reached = false;
  auto lock = doc.root->read_lock();
  trelm::cst::detail::walk(
      doc.root->children,
      [&](const trelm::cst::Token& t) {
        if (reached) return false;
        offset += t.text().size();
        return true;
      },
      [&](const trelm::cst::Child& c) { reached = reached || c.node_ptr() == node.get(); });
  return offset;
}

// Whether `a` and `b` lex alike over their first `n` bytes. A Jinja tag
// whose closer is hidden by an unbalanced bracket may reach past the SELECT
// list; when an edit of the list changes how such a tag ends, the text before
// the list reads differently, and the lists are not compared.
bool lexes_alike_before(std::string_view a, std::string_view b, std::size_t n) {
  auto ta = trelm::lexer::lex(a);
  auto tb = trelm::lexer::lex(b);
  if (!std::holds_alternative<std::vector<trelm::cst::Token>>(ta) ||
      !std::holds_alternative<std::vector<trelm::cst::Token>>(tb)) {
    return false;
  }
  const auto& xa = std::get<std::vector<trelm::cst::Token>>(ta);
  const auto& xb = std::get<std::vector<trelm::cst::Token>>(tb);
  std::size_t at = 0;
  for (std::size_t i = 0; at < n; ++i) {
    if (i >= xa.size() || i >= xb.size() || xa[i].text() != xb[i].text() || xa[i].kind() != xb[i].kind()) return false;
    at += xa[i].text().size();
  }
  return at == n;
}

// Whether every bracket and every Jinja block tag of the tree is paired. An
// item holding a bracket or block tag that paired with nothing can be edited
// away, and then later ones may pair differently: the rest of the file reads
// differently, by design of a parser that never fails. Such documents are
// only checked to reparse.
bool everything_paired(const trelm::cst::Document& doc) {
  using trelm::cst::NodeTag;
  using trelm::cst::TokenKind;
  std::vector<std::string> plain_names;
  std::vector<std::string> all_names;
  std::vector<NodeRef> stack{doc.root};
  while (!stack.empty()) {
    NodeRef node = std::move(stack.back());
    stack.pop_back();
    auto lock = node->read_lock();
    const Children& c = node->children;
    const NodeTag tag = node->kind.tag;
    const bool group = tag == NodeTag::Paren || tag == NodeTag::Bracket;
    for (std::size_t i = 0; i < c.size(); ++i) {
      if (c[i].is_node()) {
        stack.push_back(c[i].node());
        continue;
      }
      const trelm::cst::Token& t = c[i].token();
      const bool edge = i == 0 || i + 1 == c.size();
      if (t.kind() == TokenKind::LParen || t.kind() == TokenKind::RParen || t.kind() == TokenKind::LBracket ||
          t.kind() == TokenKind::RBracket) {
        if (!(group && edge)) return false;
      }
      if (t.kind() != TokenKind::JinjaStatement) continue;
      std::string name(trelm::lexer::tag_name(t.text()).value_or(""));
      all_names.push_back(name);
      const bool paired = (tag == NodeTag::JinjaBranch && i == 0) || (tag == NodeTag::JinjaBlock && i + 1 == c.size());
      if (!paired) plain_names.push_back(name);
    }
  }
  for (const std::string& n : plain_names) {
    if (n.starts_with("end") || n == "else" || n == "elif") return false;
    for (const std::string& other : all_names) {
      if (other == "end" + n) return false;
    }
  }
  return true;
}

const char* const kTexts[] = {"x", "t.y AS z", "count(*) n", "b -- note", "{{ c }}", "(select 1) s", "-- only"};
// Chosen by bytes from 0x80 on, so that the committed inputs keep choosing
// what they did. "c{" and "a -" must not run into a neighbouring token (the
// «{#» or «--» after them); the others are refused: they leave an opener
// that text after the item could close, or end where the next clause keyword
// would read as part of them.
const char* const kEdgeTexts[] = {"c{", "a -", "'oops", "x /* open", "e."};

const char* item_text_for(std::uint8_t b) {
  if (b < 0x80) return kTexts[b % (sizeof(kTexts) / sizeof(kTexts[0]))];
  return kEdgeTexts[b % (sizeof(kEdgeTexts) / sizeof(kEdgeTexts[0]))];
}

const char* const kRawSources[] = {"var('s')", "'x' }} {{ y", "f(", "[1, (2, 3)]", "'}}'", ""};

// Edits the configuration call; false when the byte chose no config edit.
bool config_edit(trelm::cst::Document& doc, std::uint8_t b) {
  switch ((b >> 4) % 6) {
    case 3:
      (void)trelm::edit::set_config(doc, "k", trelm::jinja::Literal::integer(b));
      return true;
    case 4:
      (void)trelm::edit::set_config_source(doc, "style", kRawSources[b % (sizeof(kRawSources) / sizeof(kRawSources[0]))]);
      return true;
    case 5:
      (void)trelm::edit::remove_config(doc, b % 2 ? "k" : "style");
      return true;
    default:
      return false;
  }
}

// The top-level query, or else the first one anywhere (inside a Jinja block
// or brackets, where the edit does not know what follows the query).
std::optional<NodeRef> edited_query(const trelm::cst::Document& doc) {
  if (auto top = trelm::query::query(doc)) return top;
  std::vector<NodeRef> all = trelm::query::queries(doc);
  if (all.empty()) return std::nullopt;
  return all.front();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto result = trelm::parser::parse(text);
  if (!std::holds_alternative<trelm::cst::Document>(result)) return 0;
  auto& doc = std::get<trelm::cst::Document>(result);
  auto query = edited_query(doc);
  if (!query) return 0;
  auto select = trelm::query::first_select(*query);
  if (!select) return 0;
  // A list with no item at all gets its first one appended at the end, where
  // a reparse joins it to whatever loose Jinja statement tags precede it;
  // such a list is only checked to reparse.
  bool comparable = everything_paired(doc);
  if (comparable) {
    auto lock = (*select)->read_lock();
    comparable = !trelm::query::select_items((*select)->children).empty();
  }
  for (std::size_t step = 0; step < 6; ++step) {
    std::uint8_t b = size > step ? data[size - 1 - step] : static_cast<std::uint8_t>(step);
    const std::string text_before = trelm::cst::document_text(doc);
    const trelm::fuzz::Around outside_config = trelm::fuzz::around_config(doc, text_before);
    if (config_edit(doc, b)) {
      const std::string printed = trelm::cst::document_text(doc);
      CHECK(outside_config.kept_by(printed));
      CHECK(std::holds_alternative<trelm::cst::Document>(trelm::parser::parse(printed)));
      continue;
    }
    const trelm::fuzz::Around outside_select =
        trelm::fuzz::around(text_before, offset_of(doc, *select), trelm::cst::node_text(*select).size());
    const char* item_text = item_text_for(b);
    std::vector<NodeRef> items;
    {
      auto lock = (*select)->read_lock();
      items = trelm::query::select_items((*select)->children);
    }
    // As the binding does: the query's lock first, and what follows the
    // clause.
    auto query_lock = (*query)->read_lock();
    const trelm::edit::Following after = trelm::edit::following_of((*query)->children, *select);
    auto lock = (*select)->write_lock();
    // A text that is no item alone is refused, and the document stays as it was.
    const bool valid = std::holds_alternative<NodeRef>(trelm::parser::parse_select_item(item_text));
    // Refused: a text that is no item, or a list that would end in what
    // takes the next clause's keyword («x*» before EXCEPT). Either way the
    // document stays as it was.
    std::optional<trelm::edit::EditError> refusal;
    switch ((b >> 4) % 6) {
      case 0: {
        auto inserted = trelm::edit::insert_item(**select, b % 5, item_text, after);
        if (auto* e = std::get_if<trelm::edit::EditError>(&inserted)) refusal = *e;
        break;
      }
      case 1:
        if (!items.empty()) refusal = trelm::edit::remove_item(**select, items[b % items.size()], after);
        break;
      default:
        if (!items.empty()) refusal = trelm::edit::set_item_text_in(**select, items[b % items.size()], item_text, after);
    }
    const bool edited_text = (b >> 4) % 6 != 1 && ((b >> 4) % 6 == 0 || !items.empty());
    if (edited_text && !valid) CHECK(refusal.has_value());
    if (refusal && valid) {
      CHECK(refusal->kind == trelm::edit::EditError::Kind::JoinsNextClause ||
            refusal->kind == trelm::edit::EditError::Kind::OnlyItem);
    }
    lock.unlock();
    query_lock.unlock();
    std::string printed = trelm::cst::document_text(doc);
    if (refusal) {
      CHECK(printed == text_before);
      continue;
    }
    CHECK(outside_select.kept_by(printed));
    const std::size_t list_at = offset_of(doc, *select);
    // A Jinja tag left open from the list on is the edit's doing («c{» put
    // before «{#»); one that reaches into the list from before it is not.
    auto relexed = trelm::lexer::lex(printed);
    if (const auto* err = std::get_if<trelm::lexer::LexError>(&relexed)) CHECK(err->offset < list_at);
    if (!lexes_alike_before(text, printed, list_at)) continue;
    auto again = trelm::parser::parse(printed);
    CHECK(std::holds_alternative<trelm::cst::Document>(again));
    if (!comparable) continue;
    auto q2 = edited_query(std::get<trelm::cst::Document>(again));
    CHECK(q2.has_value());
    auto live = items_text(*select);
    if (!live) continue;
    auto s2 = trelm::query::first_select(*q2);
    CHECK(s2.has_value());
    CHECK(items_text(*s2) == live);
  }
  return 0;
}
