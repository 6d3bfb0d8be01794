// Adding, removing and re-texting SELECT list items so that the list keeps
// its own layout. Each edit changes the child list of one node, whose write
// lock the caller holds for the whole edit.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "parser/parse_error.hpp"
#include "tree/node.hpp"

namespace trelm::edit {

struct EditError {
  enum class Kind { Syntax, OnlyItem, NotInSelect, JoinsNextClause };
  Kind kind = Kind::Syntax;
  parser::ParseError syntax;  // set for Syntax only
  std::string message;        // set for JoinsNextClause only
};

inline constexpr std::string_view kOnlyItemMessage = "cannot remove the only item of a SELECT clause";
inline constexpr std::string_view kNotInSelectMessage = "the item is not part of this SELECT clause";

// The layout of one list: whitespace around commas and the comma style.
struct Separator {
  std::string before_comma;
  std::string after_comma;
  bool trailing = true;  // commas end lines ("a,\n  b") rather than start them
};

using InsertResult = std::variant<cst::NodeRef, EditError>;

// What the text right after a SELECT clause begins with. Only the query
// holding the clause can tell (see following_of); an edit that does not know
// assumes the worst: it keeps what it leaves at the end of the list apart
// from a Jinja tag or comment (a word would be part of the clause), and
// breaks the line after a trailing line comment unless told a line break
// follows.
struct Following {
  std::optional<cst::Token> next;  // the first token after the clause: the list's end must not join it
  bool line_break = false;         // a line break: a line comment at the end is closed already
  // The clause that comes next in the query, when only trivia stands
  // between: the list must not end in what turns its keyword into part of
  // the last item («x*» before EXCEPT, «x.» before anything).
  const cst::ClauseName* next_clause = nullptr;
};

// `select` is a SELECT clause node; any index at or past the end appends.
InsertResult insert_item(cst::Node& select, std::size_t index, std::string_view text, Following after = {});
std::optional<EditError> remove_item(cst::Node& select, const cst::NodeRef& item, Following after = {});
std::optional<EditError> set_item_text(cst::Node& item, std::string_view text);

// Re-texts `item`, an item of `select`'s list (NotInSelect otherwise, and
// nothing changes), and when its new text ends in a line comment, breaks
// the line after it so the comment cannot swallow what follows. The caller
// holds `select`'s write lock; the item's write lock is taken here (parent
// before child).
std::optional<EditError> set_item_text_in(cst::Node& select, const cst::NodeRef& item, std::string_view text,
                                          Following after = {});

// What follows `child` (a SELECT clause) among the children of `parent`
// (its query). The caller holds the parent's lock. When the clause is the
// query's last child, nothing is known.
Following following_of(const cst::Children& parent, const cst::NodeRef& child);

// Helpers, exposed for tests. `items` are child indices of the SelectItem
// children, in order.
Separator separator_for(const cst::Children& children, const std::vector<std::size_t>& items, std::size_t k);
// Past the block and Jinja comments on child c's line; c + 1 when none.
std::size_t after_closed_comments(const cst::Children& children, std::size_t c);
std::size_t after_item(const cst::Children& children, std::size_t c, bool trailing);
bool has_comma_after(const cst::Children& children, std::size_t c);
std::string break_after_comment(const cst::Children& children, std::size_t pos, std::size_t c, std::string ws);
void insert_at(cst::Node& node, std::size_t pos, std::vector<std::optional<cst::Child>> children);
std::string normalize(std::string_view ws);

}  // namespace trelm::edit
