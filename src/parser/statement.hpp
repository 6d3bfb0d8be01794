// Finding the queries in a flat list of children.
#pragma once

#include <cstddef>

#include "tree/node.hpp"

namespace trelm::parser {

// Replaces each query in `children` by a Query node; everything else stays.
cst::Children structure_sequence(cst::Children children);

// Whether the child at `i` is a "select"/"with" word not preceded by ".".
bool starts_query(const cst::Children& children, std::size_t i);

// Where a construct whose last significant child is at `last` ends: past the
// comments that follow on the same line, never past `end` or a line break.
std::size_t same_line_end(const cst::Children& children, std::size_t end, std::size_t last);

}  // namespace trelm::parser
