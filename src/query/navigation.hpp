// Read-only questions about the queries of a document. Every node returned
// is the NodeRef that sits in the tree (shared, never copied). Each function
// takes the read locks it needs itself, one node at a time, parent before
// child.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tree/document.hpp"

namespace trelm::query {

// The first Query among the root's direct children.
std::optional<cst::NodeRef> query(const cst::Document& doc);
// Every Query node of the document, outermost first (pre-order).
std::vector<cst::NodeRef> queries(const cst::Document& doc);

std::vector<cst::NodeRef> clauses(const cst::NodeRef& query);
std::vector<cst::NodeRef> selects(const cst::NodeRef& query);
std::optional<cst::NodeRef> first_select(const cst::NodeRef& query);
std::vector<cst::NodeRef> ctes(const cst::NodeRef& query);
// First CTE whose unquoted name equals `name` under ASCII case folding.
std::optional<cst::NodeRef> cte(const cst::NodeRef& query, std::string_view name);

// Over the child list of a Cte node; the caller holds that node's read lock.
std::optional<std::string> cte_name(const cst::Children& cte_children);
std::optional<cst::NodeRef> cte_query(const cst::Children& cte_children);
// cte_query() by address, for a reader that keeps the tree unedited: no
// handle is made. Null when the CTE has no body.
cst::Node* cte_body(const cst::Children& cte_children);

// Whether a clause's name is one of WITH's.
bool is_with_clause_name(std::string_view name);
// The first Query among the root's direct children, by address; null when none.
cst::Node* top_query(const cst::Document& doc);

// The SelectItem children of a SELECT clause; the caller holds its lock.
std::vector<cst::NodeRef> select_items(const cst::Children& select_children);

}  // namespace trelm::query
