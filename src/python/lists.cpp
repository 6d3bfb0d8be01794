#include "python/lists.hpp"

#include "python/types.hpp"

namespace trelm::python {

PyObject* to_py_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* optional_str(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return to_py_str(*text);
}

PyObject* optional_handle(PyTypeObject* type, const std::optional<cst::NodeRef>& node) {
  if (!node) Py_RETURN_NONE;
  return new_instance<PyNodeHandle>(type, *node);
}

namespace {

template <typename Make>
PyObject* build_list(std::size_t n, Make&& make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

}  // namespace

PyObject* handle_list(PyTypeObject* type, const std::vector<cst::NodeRef>& nodes) {
  if (type == nullptr) return nullptr;
  return build_list(nodes.size(), [&](std::size_t i) { return new_instance<PyNodeHandle>(type, nodes[i]); });
}

PyObject* new_select(const cst::NodeRef& select, const cst::NodeRef& query) {
  return new_instance<PySelect>(select_type(), select, query);
}

PyObject* optional_select(const std::optional<cst::NodeRef>& select, const cst::NodeRef& query) {
  if (!select) Py_RETURN_NONE;
  return new_select(*select, query);
}

PyObject* select_list(const std::vector<cst::NodeRef>& selects, const cst::NodeRef& query) {
  if (select_type() == nullptr) return nullptr;
  return build_list(selects.size(), [&](std::size_t i) { return new_select(selects[i], query); });
}

PyObject* new_column(const cst::NodeRef& item, const cst::NodeRef& select, const cst::NodeRef& query) {
  return new_instance<PyColumn>(column_type(), item, select, query);
}

PyObject* column_list(const std::vector<cst::NodeRef>& items, const cst::NodeRef& select, const cst::NodeRef& query) {
  if (column_type() == nullptr) return nullptr;
  return build_list(items.size(), [&](std::size_t i) { return new_column(items[i], select, query); });
}

}  // namespace trelm::python
