// The layout model of a SELECT list: which comma style it uses, what
// whitespace surrounds its commas, and where an item's tail ends.
#include <cstdlib>

#include "edit/layout.hpp"
#include "edit/select_edit.hpp"

namespace trelm::edit {

using cst::Child;
using cst::Children;
using cst::TokenKind;
using detail::holds_line_break;
using detail::is_whitespace;

std::string normalize(std::string_view ws) {
  std::size_t lf = ws.rfind('\n');
  if (lf == std::string_view::npos) return std::string(ws);
  std::string out = lf > 0 && ws[lf - 1] == '\r' ? "\r\n" : "\n";
  out += ws.substr(lf + 1);
  return out;
}

namespace {

bool is_comma(const Child& child) { return child.is_token_kind(TokenKind::Comma); }

// Whitespace on the item's own line: spaces and tabs, never a line break.
bool is_inline_space(const Child& child) { return is_whitespace(child) && !holds_line_break(child); }

// A comment that ends where it is closed, not at the line end.
bool is_closed_comment(const Child& child) {
  return child.is_token_kind(TokenKind::BlockComment) || child.is_token_kind(TokenKind::JinjaComment);
}

// The whitespace at `i` as separator text. After a comment that kept the
// "\r" of its line end the whitespace starts with a bare "\n"; the "\r" is
// put back so that the copy ends its line the way the list does.
std::string separator_text(const Children& children, std::size_t i) {
  std::string_view text = children[i].token().text();
  if (!text.empty() && text.front() == '\n' && i > 0 && detail::ends_with_carriage_return(children[i - 1])) {
    std::string with_cr = "\r";  // built by appending: g++ 12 misreads "\r" + string as an overlapping copy
    with_cr += text;
    return normalize(with_cr);
  }
  return normalize(text);
}

bool gap_holds_comma(const Children& children, std::size_t a, std::size_t b) {
  for (std::size_t i = a + 1; i < b; ++i) {
    if (is_comma(children[i])) return true;
  }
  return false;
}

// The gap that shows how to write a separator near gap `preferred`: the
// nearest one holding a comma, the lower one on a tie; `preferred` itself
// when none does. Each gap is scanned once, so this is linear in the list.
std::size_t model_gap(const Children& children, const std::vector<std::size_t>& items, std::size_t preferred) {
  std::size_t last_gap = items.size() - 2;
  for (std::size_t d = 0; d <= last_gap; ++d) {
    bool any = false;
    if (preferred >= d) {
      any = true;
      std::size_t g = preferred - d;
      if (gap_holds_comma(children, items[g], items[g + 1])) return g;
    }
    if (d > 0 && preferred + d <= last_gap) {
      any = true;
      std::size_t g = preferred + d;
      if (gap_holds_comma(children, items[g], items[g + 1])) return g;
    }
    if (!any) break;
  }
  return preferred;
}

Separator default_separator() { return Separator{std::string(), std::string(1, ' '), true}; }

Separator one_item_separator(const Children& children, std::size_t item) {
  Separator s = default_separator();
  if (item > 0 && holds_line_break(children[item - 1])) s.after_comma = separator_text(children, item - 1);
  return s;
}

std::string comment_text(const Child& child) {
  if (const cst::Token* t = child.as_token()) return std::string(t->text());
  auto lock = child.node()->read_lock();
  return std::string(child.node()->children.back().token().text());
}

}  // namespace

Separator separator_for(const Children& children, const std::vector<std::size_t>& items, std::size_t k) {
  if (items.size() == 1) return one_item_separator(children, items[0]);
  std::size_t preferred = k == 0 ? 0 : std::min(items.size() - 2, k - 1);
  std::size_t g = model_gap(children, items, preferred);
  std::size_t a = items[g];
  std::size_t b = items[g + 1];
  std::size_t m = a + 1;
  while (m < b && !is_comma(children[m])) ++m;
  if (m == b) return default_separator();
  Separator s;
  bool leading = false;
  for (std::size_t i = a + 1; i < m; ++i) leading = leading || holds_line_break(children[i]);
  if (leading) {
    s.trailing = false;
    if (is_whitespace(children[m - 1])) s.before_comma = separator_text(children, m - 1);
    if (m + 2 == b && is_whitespace(children[m + 1])) s.after_comma = separator_text(children, m + 1);
    return s;
  }
  if (m == a + 2 && is_whitespace(children[a + 1])) s.before_comma = separator_text(children, a + 1);
  if (is_whitespace(children[b - 1])) s.after_comma = separator_text(children, b - 1);
  return s;
}

std::size_t after_closed_comments(const Children& children, std::size_t c) {
  std::size_t end = c + 1;
  for (std::size_t j = c + 1; j < children.size(); ++j) {
    if (is_closed_comment(children[j])) {
      end = j + 1;
    } else if (!is_inline_space(children[j])) {
      break;
    }
  }
  return end;
}

// An item's tail: the block and Jinja comments on its line, then (trailing
// style) its comma, then a line comment ending that line together with the
// comments before it. A comment after the comma with no line comment behind
// it stays: it sits before the next item, so it is that item's.
std::size_t after_item(const Children& children, std::size_t c, bool trailing) {
  std::size_t end = after_closed_comments(children, c);
  std::size_t j = end;
  while (j < children.size() && is_inline_space(children[j])) ++j;
  if (trailing && j < children.size() && is_comma(children[j])) end = j + 1;
  j = end;
  while (j < children.size() && (is_inline_space(children[j]) || is_closed_comment(children[j]))) ++j;
  if (j < children.size() && children[j].is_token_kind(TokenKind::LineComment)) return j + 1;
  return end;
}

bool has_comma_after(const Children& children, std::size_t c) {
  std::size_t end = after_item(children, c, true);
  for (std::size_t i = c + 1; i < end; ++i) {
    if (is_comma(children[i])) return true;
  }
  return false;
}

std::string break_after_comment(const Children& children, std::size_t pos, std::size_t c, std::string ws) {
  if (pos == 0) return ws;
  const Child& before = children[pos - 1];
  // The comment's own "\r" already starts the line end.
  if (ws.starts_with("\r\n") && detail::ends_with_carriage_return(before)) return ws.substr(1);
  if (ws.find('\n') != std::string::npos) return ws;
  if (!detail::ends_in_line_comment(before)) return ws;
  // A comment read from the source already ends in the carriage return of a
  // "\r\n" line end; one written by a caller ends bare and needs the list's.
  std::string text = comment_text(before);
  std::string out = !text.empty() && text.back() == '\r' ? "\n" : detail::line_end_of(children);
  out += detail::indentation_before(children, c);
  return out;
}

void insert_at(cst::Node& node, std::size_t pos, std::vector<std::optional<Child>> children) {
  Children present;
  present.reserve(children.size());
  for (auto& child : children) {
    if (child) present.push_back(std::move(*child));
  }
  node.children.insert(node.children.begin() + static_cast<std::ptrdiff_t>(pos),
                       std::make_move_iterator(present.begin()), std::make_move_iterator(present.end()));
}

}  // namespace trelm::edit
