// A parsed file: nothing but its root. The text is recomputed from the tree.
#pragma once

#include "tree/node.hpp"

namespace trelm::cst {

struct Document {
  NodeRef root;
};

}  // namespace trelm::cst
