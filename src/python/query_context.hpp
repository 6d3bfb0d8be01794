// What an edit of a SELECT list needs from the query around it.
#pragma once

#include <mutex>
#include <shared_mutex>

#include "edit/select_edit.hpp"
#include "tree/node.hpp"

namespace trelm::python {

// Holds the query's read lock for the length of an edit of one of its
// clauses (the parent's lock before the clause's, as everywhere), and tells
// what the text right after the clause begins with.
class QueryContext {
 public:
  QueryContext(const cst::NodeRef& query, const cst::NodeRef& clause) {
    if (!query) return;
    lock_ = query->read_lock();
    following_ = edit::following_of(query->children, clause);
  }
  edit::Following following() const { return following_; }

 private:
  std::shared_lock<cst::RwLock> lock_;
  edit::Following following_;
};

}  // namespace trelm::python
