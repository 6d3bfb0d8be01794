// The Node class: any interior node of the syntax tree, with its children.
#include <string>
#include <variant>
#include <vector>

#include "python/compare.hpp"
#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/lists.hpp"
#include "python/types.hpp"
#include "tree/print.hpp"

namespace trelm::python {
namespace {

const cst::NodeRef& node_of(PyObject* self) { return as<PyNodeHandle>(self)->node; }
const SharedDoc& doc_of(PyObject* self) { return as<PyNodeHandle>(self)->doc; }

// In the order of NodeTag.
constexpr const char* kKindNames[] = {
    "root", "paren", "bracket", "jinja_block", "jinja_branch", "query", "clause", "select_item", "cte",
};
static_assert(std::size(kKindNames) == static_cast<std::size_t>(cst::NodeTag::Cte) + 1);

const char* kind_name(const cst::NodeRef& node) {
  auto lock = node->read_lock();
  return kKindNames[static_cast<std::size_t>(node->kind.tag)];
}

PyObject* node_kind(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return PyUnicode_FromString(kind_name(node_of(self))); });
}

using ChildCopy = std::variant<cst::NodeRef, cst::TokenCopy>;

// Copied under the node's lock; the Python objects are made after it.
std::vector<ChildCopy> copy_children(const cst::NodeRef& node) {
  std::vector<ChildCopy> out;
  auto lock = node->read_lock();
  out.reserve(node->children.size());
  for (const cst::Child& c : node->children) {
    if (const cst::Token* t = c.as_token()) {
      out.emplace_back(cst::TokenCopy::of(*t));
    } else {
      out.emplace_back(c.node());
    }
  }
  return out;
}

PyObject* node_children(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<ChildCopy> children = copy_children(node_of(self));
    if (node_type() == nullptr || token_type() == nullptr) return nullptr;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(children.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < children.size(); ++i) {
      PyObject* item = nullptr;
      if (auto* node = std::get_if<cst::NodeRef>(&children[i])) {
        item = new_handle(node_type(), *node, doc_of(self));
      } else {
        item = new_instance<PyToken>(token_type(), std::move(std::get<cst::TokenCopy>(children[i])), doc_of(self));
      }
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
  });
}

PyObject* node_span_get(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return node_span(node_of(self), doc_of(self)); });
}

PyObject* node_str(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(cst::node_text(node_of(self))); });
}

PyObject* node_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    std::string text = "<Node ";
    const cst::NodeRef& node = node_of(self);
    text += kind_name(node);
    {
      auto lock = node->read_lock();
      if (node->kind.tag == cst::NodeTag::Clause) (text += " ") += node->kind.name();
    }
    return to_py_str(text + ">");
  });
}

PyObject* node_richcompare(PyObject* a, PyObject* b, int op) {
  return compare_by_node(a, b, op, node_type(), [](PyObject* o) { return node_of(o).get(); });
}

Py_hash_t node_hash(PyObject* self) { return hash_of_address(node_of(self).get()); }

PyGetSetDef kGetSet[] = {
    {"kind", node_kind, nullptr,
     "What the node is: root, paren, bracket, jinja_block, jinja_branch, query, clause,\nselect_item or cte.",
     nullptr},
    {"children", node_children, nullptr, "The node's children, Node and Token objects, in order: a fresh list.",
     nullptr},
    {"span", node_span_get, nullptr, kSpanDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A node of the syntax tree. str() gives its text.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyNodeHandle>)},
    {Py_tp_str, reinterpret_cast<void*>(node_str)},
    {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(node_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(node_hash)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = class_spec("trelm_cst.Node", sizeof(PyNodeHandle), kSlots);

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* node_type() { return lazy_type(g_type, kSpec); }

}  // namespace trelm::python
