// Cutting one query into named clauses.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "parser/slices.hpp"
#include "tree/node.hpp"

namespace trelm::parser {

struct ClauseKeyword {
  const cst::ClauseName* row = nullptr;  // a row of kClauseNames
  std::size_t end = 0;                   // position just after the keyword's last word
};

// `children` starts with a "select" or "with" word; they are moved out.
cst::NodeRef build_query(Slice children, Scratch& scratch);

// Whether a keyword with `guard` still opens a clause when the last
// significant token before it is `before` (null: a node, or nothing).
bool keyword_allowed_after(cst::KeywordGuard guard, const cst::Token* before);

// The clause that the child at `i` starts, if any.
std::optional<ClauseKeyword> clause_keyword(ConstSlice children, std::size_t i);

}  // namespace trelm::parser
