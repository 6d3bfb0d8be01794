// Finding the queries in a flat list of children.
#pragma once

#include <cstddef>

#include "parser/slices.hpp"
#include "tree/node.hpp"

namespace trelm::parser {

// The children of `list` with each query replaced by a Query node; the
// children before `first` are kept as they are and not looked at. Moves the
// children out of `list`.
cst::Children structure_sequence(Slice list, std::size_t first, Scratch& scratch);

// The same, appended to `out`, which grows geometrically: a long list is
// structured one piece at a time into it.
void append_structured(Slice list, std::size_t first, Scratch& scratch, cst::Children& out);

// A node of `kind` holding what structure_sequence gives.
cst::NodeRef structured_node(cst::NodeKind kind, Slice list, std::size_t first, Scratch& scratch);

// Whether the child at `i` is a "select"/"with" word not preceded by ".".
bool starts_query(ConstSlice children, std::size_t i);

// Where a construct whose last significant child is at `last` ends: past the
// comments that follow on the same line, never past `end` or a line break.
std::size_t same_line_end(ConstSlice children, std::size_t end, std::size_t last);

}  // namespace trelm::parser
