// Building Python results from core results. Callers have released every
// tree lock before they get here: these run Python code (allocation, GC).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/handle.hpp"

namespace trelm::python {

PyObject* to_py_str(std::string_view text);
// A str, or None when absent.
PyObject* optional_str(const std::optional<std::string>& text);
// A new handle of `type` (holding one node), or None when absent.
PyObject* optional_handle(PyTypeObject* type, const std::optional<cst::NodeRef>& node);
// A new list with one handle of `type` per node.
PyObject* handle_list(PyTypeObject* type, const std::vector<cst::NodeRef>& nodes);
// Select handles for SELECT clauses of `query`.
PyObject* new_select(const cst::NodeRef& select, const cst::NodeRef& query);
PyObject* optional_select(const std::optional<cst::NodeRef>& select, const cst::NodeRef& query);
PyObject* select_list(const std::vector<cst::NodeRef>& selects, const cst::NodeRef& query);
// A new Column handle / a list of them, tied to `select` of `query`.
PyObject* new_column(const cst::NodeRef& item, const cst::NodeRef& select, const cst::NodeRef& query);
PyObject* column_list(const std::vector<cst::NodeRef>& items, const cst::NodeRef& select, const cst::NodeRef& query);

}  // namespace trelm::python
