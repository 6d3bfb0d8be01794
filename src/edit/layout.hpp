// Small questions about the layout of a SELECT clause's child list, shared by
// the separator model and the edits. The caller holds the lock of the node
// that owns the list; child nodes are read-locked where they are looked into.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tree/node.hpp"

namespace trelm::edit::detail {

bool is_whitespace(const cst::Child& child);

// A Whitespace token holding a line feed: the line ends inside it.
bool holds_line_break(const cst::Child& child);

// A LineComment token, or a node whose last child is one (an item whose text
// ends in a comment). Whatever directly follows such a child in the text is
// part of the comment unless it starts a new line.
bool ends_in_line_comment(const cst::Child& child);

// A token whose text ends in a carriage return: a line comment read from a
// file with "\r\n" line ends keeps the "\r", and the Whitespace after it
// starts with the bare "\n".
bool ends_with_carriage_return(const cst::Child& child);

// The child indices of the SelectItem children, in order.
std::vector<std::size_t> item_indices(const cst::Children& children);

// "\r\n" when the first line break of the list is written that way (a
// carriage return may sit at the end of a line comment), else "\n".
std::string line_end_of(const cst::Children& children);

// The text after the last line feed of the nearest Whitespace token before
// `end` that holds one; empty when there is none.
std::string indentation_before(const cst::Children& children, std::size_t end);

cst::Token whitespace_token(std::string_view text);
cst::Token comma_token();

}  // namespace trelm::edit::detail
