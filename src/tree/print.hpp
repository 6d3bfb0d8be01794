// Printing a tree back to text: the concatenation of its token texts.
#pragma once

#include <string>

#include "tree/document.hpp"

namespace trelm::cst {

// Appends the texts of the children, in order, to `out`. The caller holds the
// lock of the node that owns the list (if any); descendants are read-locked
// on the way down. Iterative, so the depth of the tree does not matter.
void print_children(const Children& children, std::string& out);

// Appends the text of one child.
void print_child(const Child& child, std::string& out);

// The text of a node; takes the node's read lock itself.
std::string node_text(const NodeRef& node);

// The text of a whole document; takes the root's read lock itself.
std::string document_text(const Document& doc);

}  // namespace trelm::cst
