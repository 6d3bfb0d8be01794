// Internal to the parser. Node lists are built from slices of a larger list
// (the grouper's stack, a query, a clause): the positions of the pieces are
// found first, then each node is made with room for exactly its children,
// next to it in the parse's blocks, and the children are moved into that
// room once. The position records live in a Scratch that one parse reuses,
// so finding queries, clauses and items allocates nothing per list.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "tree/node.hpp"

namespace trelm::parser {

using Slice = std::span<cst::Child>;
using ConstSlice = std::span<const cst::Child>;

// One query of a statement list: positions [start, end).
struct QueryCut {
  std::size_t start = 0;
  std::size_t end = 0;
};

// One clause of a query, named by a row of kClauseNames.
struct ClauseCut {
  const cst::ClauseName* row = nullptr;
  std::size_t start = 0;        // the keyword's first word
  std::size_t keyword_end = 0;  // just after the keyword's last word
  std::size_t end = 0;          // just after its last child
};

// One run of a SELECT or WITH list between separators: [begin, end), the
// separator (if any) at `end`. The item node spans [first, last]; `first`
// is npos when the run makes no item.
struct ItemCut {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t first = cst::npos;
  std::size_t last = cst::npos;
};

// Each builder uses its own vector and none calls itself, so the vectors
// are never in use twice at once.
// It also carries the source buffer the tokens borrow from, which every
// node made here keeps (empty when the tokens own their texts).
struct Scratch {
  std::vector<QueryCut> queries;
  std::vector<ClauseCut> clauses;
  std::vector<ItemCut> items;
  cst::TextRef source;

  // A node of `count` children, appended by `fill(children)`.
  template <typename Fill>
  cst::NodeRef node(cst::NodeKind kind, std::size_t count, Fill&& fill) const {
    return cst::make_node_in(source, kind, count, std::forward<Fill>(fill));
  }
  // A node of the children of `list`, which is left empty.
  cst::NodeRef node(cst::NodeKind kind, cst::Children& list) const {
    return node(kind, list.size(), [&list](cst::Children& out) {
      out.append_moved(std::span<cst::Child>(list.data(), list.size()));
      list.drop_moved(0);
    });
  }
};

inline Slice slice_of(cst::Children& list) { return Slice(list.data(), list.size()); }

// The first significant child in [from, end), or npos.
inline std::size_t next_significant_in(ConstSlice list, std::size_t from, std::size_t end) {
  for (std::size_t i = from; i < end; ++i) {
    if (list[i].is_significant()) return i;
  }
  return cst::npos;
}

// The last significant child in [begin, end), or npos.
inline std::size_t last_significant_in(ConstSlice list, std::size_t begin, std::size_t end) {
  for (std::size_t i = end; i > begin; --i) {
    if (list[i - 1].is_significant()) return i - 1;
  }
  return cst::npos;
}

// Moves list[begin, end) onto the end of `out`.
inline void append_moved(cst::Children& out, Slice list, std::size_t begin, std::size_t end) {
  if (begin < end) out.append_moved(list.subspan(begin, end - begin));
}

}  // namespace trelm::parser
