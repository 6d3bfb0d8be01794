// Inserting, removing and re-texting SELECT items.
//
// Line comments: a LineComment runs to the end of its line, so whatever an
// edit puts directly after one becomes part of it. The source never has that
// (the lexer ends a comment at the line feed), and these edits keep it so:
// after every edit, each child that ends in a line comment (a LineComment
// token, or an item whose text ends in one) is followed by a Whitespace token
// holding a line break, or is the last child of a clause that is followed by
// a line break. What lies after the clause is known only when the caller
// passes it in (Following, from the query); when it is not known, an edit
// writes a line break rather than risk commenting out the next clause.
// Reparsing the edited text therefore yields the same items: no item text
// leaks into a comment, and a break that follows an item's comment is
// whitespace, which the parser leaves outside its items.
#include <optional>
#include <tuple>
#include <utility>

#include "edit/layout.hpp"
#include "edit/word_boundary.hpp"
#include "edit/select_edit.hpp"
#include "parser/query_builder.hpp"
#include "parser/select_items.hpp"
#include "tree/traverse.hpp"

namespace trelm::edit {

using cst::Child;
using cst::Children;
using cst::NodeRef;
using cst::TokenKind;
using detail::ends_in_line_comment;
using detail::holds_line_break;

namespace {

std::optional<Child> whitespace(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return Child(detail::whitespace_token(text));
}

std::optional<Child> comma() { return Child(detail::comma_token()); }

// The index of `node` among the children, or children.size() when absent.
std::size_t index_of(const Children& children, const NodeRef& node) {
  std::size_t c = 0;
  while (c < children.size() && !(children[c].is_node() && children[c].node() == node)) ++c;
  return c;
}

std::size_t count_present(const std::vector<std::optional<Child>>& run) {
  std::size_t n = 0;
  for (const auto& c : run) n += c.has_value() ? 1 : 0;
  return n;
}

// Splices `run` in at `pos` and answers the index just past it.
std::size_t splice(cst::Node& node, std::size_t pos, std::vector<std::optional<Child>> run) {
  std::size_t n = count_present(run);
  insert_at(node, pos, std::move(run));
  return pos + n;
}

// Whether the text that follows child `i` begins a new line. Past the end of
// the list that is only known when the list ended in a line comment before
// the edit (`end_breaks`).
bool line_breaks_after(const Children& children, std::size_t i, bool end_breaks) {
  return i + 1 < children.size() ? holds_line_break(children[i + 1]) : end_breaks;
}

std::string line_break_for(const Children& children, std::size_t item) {
  return detail::line_end_of(children) + detail::indentation_before(children, item);
}

// A run spliced in right after a comment that ends in "\r" takes the line
// break that followed the comment; that break starts with a bare "\n", so it
// gets the "\r" the comment keeps, and the line the run ends stays "\r\n".
void carry_carriage_return(Children& children, std::size_t pos, std::size_t end) {
  if (pos == 0 || end >= children.size() || !detail::ends_with_carriage_return(children[pos - 1])) return;
  if (!detail::is_whitespace(children[end])) return;
  std::string_view text = children[end].token().text();
  if (text.empty() || text.front() != '\n') return;
  std::string with_cr = "\r";  // built by appending: g++ 12 misreads "\r" + string as an overlapping copy
  with_cr += text;
  children[end] = Child(detail::whitespace_token(with_cr));
}

// A new item whose text ends in a line comment gets a line break after it
// when anything but a line break would follow it.
void close_item_comment(cst::Node& select, std::size_t item, bool end_breaks) {
  Children& children = select.children;
  if (!ends_in_line_comment(children[item]) || line_breaks_after(children, item, end_breaks)) return;
  insert_at(select, item + 1, {whitespace(line_break_for(children, item))});
}

std::optional<EditError> syntax_error(parser::SelectItemResult& parsed) {
  if (auto* err = std::get_if<parser::ParseError>(&parsed)) {
    EditError e;
    e.kind = EditError::Kind::Syntax;
    e.syntax = std::move(*err);
    return e;
  }
  return std::nullopt;
}

bool starts_right_after_token(const Children& children, std::size_t c) {
  return c == 0 || children[c - 1].is_significant();
}

// Trailing style, after item c which has no comma of its own: the comma goes
// right after the item and the block comments on its line, or, when the item
// ends in a line comment, after the line break that follows it. Answers the index just past the comma.
std::size_t add_comma_after(cst::Node& select, std::size_t c, const Separator& s) {
  Children& children = select.children;
  if (!ends_in_line_comment(children[c])) {
    splice(select, after_closed_comments(children, c), {whitespace(s.before_comma), comma()});
    return after_item(children, c, true);
  }
  std::size_t at = c + 1;
  if (at < children.size() && holds_line_break(children[at])) {
    ++at;
  } else {
    at = splice(select, at, {whitespace(line_break_for(children, c))});
  }
  return splice(select, at, {whitespace(s.before_comma), comma()});
}

NodeRef insert_into_list(cst::Node& select, const std::vector<std::size_t>& items, std::size_t k, NodeRef item,
                         bool line_break_follows) {
  Children& children = select.children;
  bool end_breaks = line_break_follows || (!children.empty() && ends_in_line_comment(children.back()));
  Child node(item);
  if (items.empty()) {
    std::size_t pos = children.size();
    std::string lead = break_after_comment(children, pos, pos, " ");
    std::size_t end = splice(select, pos, {whitespace(lead), std::move(node)});
    close_item_comment(select, end - 1, end_breaks);
    return item;
  }
  Separator s = separator_for(children, items, k);
  if (k == 0) {
    std::size_t c = items[0];
    // Keep the new item from running into a keyword written flush against
    // the first item («select(a)»).
    std::optional<Child> space;
    if (starts_right_after_token(children, c)) space = whitespace(" ");
    std::size_t at = c + (space ? 1 : 0);
    splice(select, c, {std::move(space), std::move(node), whitespace(s.before_comma), comma(), whitespace(s.after_comma)});
    close_item_comment(select, at, end_breaks);
    return item;
  }
  std::size_t c = items[k - 1];
  if (!s.trailing) {
    std::size_t pos = after_item(children, c, false);
    std::string before = break_after_comment(children, pos, c, s.before_comma);
    std::size_t end = splice(select, pos, {whitespace(before), comma(), whitespace(s.after_comma), std::move(node)});
    carry_carriage_return(children, pos, end);
    close_item_comment(select, end - 1, end_breaks);
    return item;
  }
  // Item k - 1 either carries its comma already (the new item then needs one
  // of its own before item k) or is given one now.
  bool comma_present = has_comma_after(children, c);
  std::size_t pos = comma_present ? after_item(children, c, true) : add_comma_after(select, c, s);
  std::string lead = break_after_comment(children, pos, c, s.after_comma);
  std::size_t at = pos + (lead.empty() ? 0 : 1);
  std::size_t end = comma_present
                        ? splice(select, pos, {whitespace(lead), std::move(node), whitespace(s.before_comma), comma()})
                        : splice(select, pos, {whitespace(lead), std::move(node)});
  carry_carriage_return(children, pos, end);
  close_item_comment(select, at, end_breaks);
  return item;
}

// The clause after the list opens with its keyword only while the list does
// not end in what takes that keyword into its last item («x*» before
// EXCEPT). No layout keeps them apart, so such an edit is undone.
std::optional<EditError> joins_next_clause(const cst::Node& select, const Following& after) {
  if (after.next_clause == nullptr) return std::nullopt;
  const cst::ClauseName& next = *after.next_clause;
  const std::size_t end = cst::last_significant_before(select.children, select.children.size());
  if (end == cst::npos) return std::nullopt;
  // The list's last significant token: the child's, or the last one inside it.
  bool allowed = true;
  std::string last;
  auto judge = [&](const cst::Token& t) {
    if (t.is_trivia()) return;
    allowed = parser::keyword_allowed_after(next.guard, &t);
    last = allowed ? std::string() : std::string(t.text());
  };
  if (const cst::Token* t = select.children[end].as_token()) {
    judge(*t);
  } else {
    const cst::Node& n = *select.children[end].node_ptr();
    auto lock = n.read_lock();
    cst::for_each_token(n.children, judge);
  }
  if (allowed) return std::nullopt;
  EditError e;
  e.kind = EditError::Kind::JoinsNextClause;
  e.message = "the SELECT list would end in \u00ab";
  e.message += last;
  e.message += "\u00bb, and the ";
  e.message += next.name;
  e.message += " after it would read as part of its last item";
  return e;
}

// A copy of the list to go back to, when an edit could meet the next clause.
std::optional<Children> undo_point(const cst::Node& node, const Following& after) {
  if (after.next_clause == nullptr) return std::nullopt;
  return node.children;
}

}  // namespace

InsertResult insert_item(cst::Node& select, std::size_t index, std::string_view text, Following after) {
  parser::SelectItemResult parsed = parser::parse_select_item(text);
  if (auto err = syntax_error(parsed)) return *err;
  std::optional<Children> before = undo_point(select, after);
  std::vector<std::size_t> items = detail::item_indices(select.children);
  std::size_t k = std::min(index, items.size());
  NodeRef item = insert_into_list(select, items, k, std::get<NodeRef>(std::move(parsed)), after.line_break);
  std::size_t c = index_of(select.children, item);
  detail::keep_apart(select, c + 1);
  detail::keep_apart(select, c);
  detail::keep_end_apart(select, after.next);
  if (auto err = joins_next_clause(select, after)) {
    select.children = std::move(*before);
    return *err;
  }
  return item;
}

namespace {

EditError error_of(EditError::Kind kind) {
  EditError e;
  e.kind = kind;
  return e;
}

void erase_range(Children& children, std::size_t from, std::size_t to) {
  children.erase(children.begin() + static_cast<std::ptrdiff_t>(from), children.begin() + static_cast<std::ptrdiff_t>(to));
}

// The nearest Jinja block between item `prev` and child `c`, or `prev`: a
// block standing between two items stays when the later one goes.
std::size_t removal_anchor(const Children& children, std::size_t prev, std::size_t c) {
  for (std::size_t j = c; j > prev + 1; --j) {
    if (children[j - 1].is_node_tag(cst::NodeTag::JinjaBlock)) return j - 1;
  }
  return prev;
}

// Removing children from..to - 1 puts child `to` right after child
// from - 1. When that one ends in a line comment and the text after the run
// might not start a new line, the line break at `from` stays (cut down to
// the line end itself); answers where the removal should start.
std::size_t keep_comment_closed(Children& children, std::size_t from, std::size_t to, bool line_break_follows) {
  if (from == 0 || from >= to || !ends_in_line_comment(children[from - 1])) return from;
  bool next_breaks = to < children.size() ? holds_line_break(children[to])
                                          : line_break_follows || ends_in_line_comment(children[to - 1]);
  if (next_breaks || !holds_line_break(children[from])) return from;
  std::string_view text = children[from].token().text();
  children[from] = Child(detail::whitespace_token(text.substr(0, text.find('\n') + 1)));
  return from + 1;
}

// After a removal the line break that followed the removed run may follow a
// comment that already ends in "\r"; one "\r" of the two goes.
void drop_doubled_carriage_return(Children& children, std::size_t at) {
  if (at == 0 || at >= children.size() || !detail::ends_with_carriage_return(children[at - 1])) return;
  if (!detail::is_whitespace(children[at])) return;
  std::string_view text = children[at].token().text();
  if (!text.starts_with("\r\n")) return;
  children[at] = Child(detail::whitespace_token(text.substr(1)));
}

// Answers the range of child indices around which text was taken out.
std::pair<std::size_t, std::size_t> remove_later_item(Children& children, const std::vector<std::size_t>& items,
                                                      std::size_t k, bool trailing, bool line_break_follows) {
  std::size_t c = items[k];
  std::size_t anchor = removal_anchor(children, items[k - 1], c);
  std::size_t from = after_item(children, anchor, trailing);
  std::size_t to = after_item(children, c, trailing);
  bool had_comma = has_comma_after(children, c);
  std::size_t cut = keep_comment_closed(children, from, to, line_break_follows);
  erase_range(children, cut, to);
  drop_doubled_carriage_return(children, cut);
  if (!trailing || had_comma) return {anchor + 1, cut};
  // The item was the last one: the comma of the new last item now dangles.
  for (std::size_t i = anchor + 1; i < from; ++i) {
    if (children[i].is_token_kind(TokenKind::Comma)) {
      erase_range(children, i, i + 1);
      return {anchor + 1, cut - 1};
    }
  }
  return {anchor + 1, cut};
}

// Answers the child index where the removed run was.
std::size_t remove_first_item(Children& children, const std::vector<std::size_t>& items, bool trailing) {
  std::size_t c = items[0];
  std::size_t end = after_item(children, c, trailing);
  // The line break or space before the next item goes too, unless the item
  // sat flush against the keyword («select(a), b»): then it keeps them apart.
  if (end < children.size() && detail::is_whitespace(children[end]) && !starts_right_after_token(children, c)) ++end;
  if (!trailing) {
    std::size_t stop = items[1];
    for (std::size_t i = end; i < stop; ++i) {
      if (children[i].is_node_tag(cst::NodeTag::JinjaBlock)) break;
      if (!children[i].is_token_kind(TokenKind::Comma)) continue;
      bool space_after = i + 1 < stop && detail::is_whitespace(children[i + 1]);
      erase_range(children, i, i + (space_after ? 2 : 1));
      break;
    }
  }
  erase_range(children, c, end);
  return c;
}

}  // namespace

std::optional<EditError> remove_item(cst::Node& select, const NodeRef& item, Following after) {
  Children& children = select.children;
  std::size_t c = index_of(children, item);
  if (c == children.size()) return error_of(EditError::Kind::NotInSelect);
  std::vector<std::size_t> items = detail::item_indices(children);
  std::size_t k = 0;
  while (k < items.size() && items[k] != c) ++k;
  if (k == items.size()) return error_of(EditError::Kind::NotInSelect);
  if (items.size() == 1) return error_of(EditError::Kind::OnlyItem);
  bool trailing = separator_for(children, items, k).trailing;
  std::optional<Children> before = undo_point(select, after);
  std::size_t lo = 0;
  std::size_t hi = 0;
  if (k > 0) {
    std::tie(lo, hi) = remove_later_item(children, items, k, trailing, after.line_break);
  } else {
    lo = hi = remove_first_item(children, items, trailing);
  }
  // Text that used to be apart may now meet; highest junction first, so the
  // lower indices stay valid when a space goes in.
  for (std::size_t j = hi + 1; j-- > lo;) detail::keep_apart(select, j);
  detail::keep_end_apart(select, after.next);
  if (auto err = joins_next_clause(select, after)) {
    children = std::move(*before);
    return err;
  }
  return std::nullopt;
}

// Only the item's children change; whatever surrounds the item is its
// list's business (see set_item_text_in).
std::optional<EditError> set_item_text(cst::Node& item, std::string_view text) {
  parser::SelectItemResult parsed = parser::parse_select_item(text);
  if (auto err = syntax_error(parsed)) return *err;
  NodeRef fresh = std::get<NodeRef>(std::move(parsed));
  Children replacement;
  {
    auto lock = fresh->write_lock();
    replacement = std::move(fresh->children);
  }
  item.children.swap(replacement);  // the old children are released here
  return std::nullopt;
}

std::optional<EditError> set_item_text_in(cst::Node& select, const NodeRef& item, std::string_view text,
                                          Following after) {
  Children& children = select.children;
  std::size_t c = index_of(children, item);
  // A removed item is in no document: changing it would change nothing
  // anyone prints, so the edit is refused rather than made where none sees.
  if (c == children.size()) return error_of(EditError::Kind::NotInSelect);
  // A clause that ended in a line comment is followed by a line break.
  const bool end_breaks = c + 1 == children.size() && (after.line_break || ends_in_line_comment(children[c]));
  std::optional<Children> before = undo_point(select, after);
  std::optional<Children> item_before;
  std::optional<EditError> err;
  {
    auto lock = item->write_lock();
    if (before) item_before = item->children;
    err = set_item_text(*item, text);
  }
  if (err) return err;
  // The break goes into the list, not the item, so the item's text stays
  // exactly what was given and reads back the same after a reparse.
  close_item_comment(select, c, end_breaks);
  detail::keep_apart(select, c + 1);
  detail::keep_apart(select, c);
  detail::keep_end_apart(select, after.next);
  if ((err = joins_next_clause(select, after))) {
    {
      auto lock = item->write_lock();
      item->children = std::move(*item_before);
    }
    children = std::move(*before);
  }
  return err;
}

}  // namespace trelm::edit
