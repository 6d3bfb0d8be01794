// Dividing SELECT and WITH lists into item nodes, and parsing one item.
#pragma once

#include <cstddef>
#include <string_view>
#include <variant>

#include "parser/parse_error.hpp"
#include "parser/slices.hpp"
#include "tree/node.hpp"

namespace trelm::parser {

// A node of `kind` holding `children`: those before `start` as they are,
// the rest cut at top-level commas and separator blocks into nodes of
// `item_kind` (SelectItem or Cte). Moves the children out of `children`.
cst::NodeRef split_list(cst::NodeKind kind, Slice children, std::size_t start, cst::NodeTag item_kind,
                        Scratch& scratch);

// A JinjaBlock that carries a comma of its own («{% if x %}, b{% endif %}»).
bool is_separator_block(const cst::Child& child);

// Only trivia and Jinja statement tags, at any depth of blocks and branches.
bool is_statement_only(const cst::Child& child);

using SelectItemResult = std::variant<cst::NodeRef, ParseError>;

// Parses stand-alone item text (trimmed of Unicode whitespace first); errors
// are positioned in the trimmed text.
SelectItemResult parse_select_item(std::string_view text);

}  // namespace trelm::parser
