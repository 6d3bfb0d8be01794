// Cutting one query into named clauses.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "tree/node.hpp"

namespace trelm::parser {

struct ClauseKeyword {
  std::string name;      // "SELECT", "GROUP BY", "UNION ALL", ...
  std::size_t end = 0;   // position just after the keyword's last word
};

// `children` starts with a "select" or "with" word.
cst::NodeRef build_query(cst::Children children);

// The clause that the child at `i` starts, if any.
std::optional<ClauseKeyword> clause_keyword(const cst::Children& children, std::size_t i);

}  // namespace trelm::parser
