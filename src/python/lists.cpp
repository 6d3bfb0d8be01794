#include "python/lists.hpp"

#include "python/types.hpp"

namespace trelm::python {

PyObject* to_py_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

std::string counted(std::size_t n, std::string_view one, std::string_view many) {
  std::string digits = std::to_string(n);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  (text += ' ') += n == 1 ? one : many;
  return text;
}

PyObject* optional_str(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return to_py_str(*text);
}

PyObject* new_handle(PyTypeObject* type, const cst::NodeRef& node, const SharedDoc& doc) {
  return new_instance<PyNodeHandle>(type, node, doc);
}

PyObject* optional_handle(PyTypeObject* type, const std::optional<cst::NodeRef>& node, const SharedDoc& doc) {
  if (!node) Py_RETURN_NONE;
  return new_handle(type, *node, doc);
}

PyObject* handle_list(PyTypeObject* type, const std::vector<cst::NodeRef>& nodes, const SharedDoc& doc) {
  if (type == nullptr) return nullptr;
  return list_of(nodes.size(), [&](std::size_t i) { return new_handle(type, nodes[i], doc); });
}

PyObject* new_select(const cst::NodeRef& select, const cst::NodeRef& query, const SharedDoc& doc) {
  return new_instance<PySelect>(select_type(), select, query, doc);
}

PyObject* optional_select(const std::optional<cst::NodeRef>& select, const cst::NodeRef& query, const SharedDoc& doc) {
  if (!select) Py_RETURN_NONE;
  return new_select(*select, query, doc);
}

PyObject* select_list(const std::vector<cst::NodeRef>& selects, const cst::NodeRef& query, const SharedDoc& doc) {
  if (select_type() == nullptr) return nullptr;
  return list_of(selects.size(), [&](std::size_t i) { return new_select(selects[i], query, doc); });
}

PyObject* new_column(const cst::NodeRef& item, const cst::NodeRef& select, const cst::NodeRef& query,
                     const SharedDoc& doc) {
  return new_instance<PyColumn>(column_type(), item, select, query, doc);
}

PyObject* column_list(const std::vector<cst::NodeRef>& items, const cst::NodeRef& select, const cst::NodeRef& query,
                      const SharedDoc& doc) {
  if (column_type() == nullptr) return nullptr;
  return list_of(items.size(), [&](std::size_t i) { return new_column(items[i], select, query, doc); });
}

PyObject* token_list(const std::vector<cst::TokenCopy>& tokens, const SharedDoc& doc) {
  if (token_type() == nullptr) return nullptr;
  return list_of(tokens.size(), [&](std::size_t i) { return new_instance<PyToken>(token_type(), tokens[i], doc); });
}

PyObject* call_list(std::vector<query::FoundCall> calls, const SharedDoc& doc, std::uint64_t generation) {
  if (call_type() == nullptr) return nullptr;
  return list_of(calls.size(), [&](std::size_t i) {
    return new_instance<PyCall>(call_type(), std::move(calls[i]), doc, generation);
  });
}

PyObject* optional_span(const std::optional<cst::TextSpan>& span) {
  if (!span) Py_RETURN_NONE;
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(span->start), static_cast<Py_ssize_t>(span->end));
}

PyObject* node_span(const cst::NodeRef& node, const SharedDoc& doc) {
  std::optional<cst::TextSpan> span = doc->index()->node_span(node.get());
  return optional_span(span);
}

}  // namespace trelm::python
