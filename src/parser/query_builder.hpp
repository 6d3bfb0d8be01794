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

// The clause that the child at `i` starts, if any.
std::optional<ClauseKeyword> clause_keyword(ConstSlice children, std::size_t i);

}  // namespace trelm::parser
