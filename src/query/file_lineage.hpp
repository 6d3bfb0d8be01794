// Where each output column of a model file comes from, as far as the file
// alone says: every reference followed through the scopes of its query
// (aliases, CTE bodies, subqueries, union branches) down to a relation the
// file does not define (a ref, a source, a table, a table function), or to
// a reason it cannot be resolved. What needs other files (the columns a
// ref's model gives, for `*` or to place an unqualified name) is not
// guessed: the file is then left undecided, for a caller that knows the
// other models to follow it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "tree/document.hpp"
#include "tree/positions.hpp"

namespace trelm::query {

struct LineageOrigin {
  // ref (`name` is the model a ref() call names: the caller finds it),
  // source, table, function, values, ambiguous or unresolved.
  std::string kind;
  std::string name;         // empty for ambiguous and unresolved
  std::string source_name;  // of a source: (source_name, name)
  std::string column;
  std::vector<std::string> via;  // CTEs and subqueries passed through, in order
  bool star = false;             // reached through a `*` over unknown columns
  std::optional<std::string> reason;
  bool operator==(const LineageOrigin&) const = default;
};

struct OutputColumn {
  std::optional<std::string> name;  // none for an unaliased expression or a `*` over unknown columns
  std::string kind;                 // as Column.kind
  bool from_star = false;           // one of the columns of a `*`
  std::optional<cst::LineColumn> where;  // of its select item
  // The origins of the first column of each name (compared ignoring case);
  // empty for the others.
  std::vector<LineageOrigin> origins;
};

// A reference that decides which rows some query of the file keeps.
struct FilterUse {
  std::string text;  // dotted, as written
  std::string clause;
  std::optional<cst::LineColumn> where;
  std::vector<LineageOrigin> origins;
};

// Why a file is undecided when the columns of a ref's model would decide it.
inline constexpr const char* kNeedsRefColumns = "the columns of a ref's model";

struct FileLineage {
  bool has_query = true;               // whether the file holds a query at its top level
  std::vector<OutputColumn> columns;  // of that query
  std::vector<FilterUse> filters;     // of every query, in document order
  // Why the file alone cannot say (kNeedsRefColumns, a name that is not
  // plain ASCII, a query that reads itself...); empty when it can.
  std::string undecided;
};

// The columns of the models the file's refs name, by the name called: none
// for a model whose columns are not all known.
using RefColumns = std::unordered_map<std::string, std::optional<std::vector<std::string>>>;

// The document's lineage: no columns when it holds no query. Without `refs`, or for a ref it lacks, a file
// that needs a ref's columns is undecided. The document must not be edited meanwhile (the walk keeps its
// nodes by address, not by counted reference): the batch gives it documents of its own.
FileLineage file_lineage(const cst::Document& doc, const RefColumns* refs = nullptr);

}  // namespace trelm::query
