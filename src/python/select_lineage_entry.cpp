// select_lineage(select): the lineage facts of every item of a SELECT clause
// as plain tuples, read in one pass with the interpreter lock released. A
// project's column lineage reads every item; one handle per item and per
// reference, each property a new walk, cost more than the resolving itself.
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/lists.hpp"
#include "python/py_ref.hpp"
#include "python/types.hpp"
#include "query/lineage.hpp"
#include "query/navigation.hpp"
#include "query/select_item.hpp"

namespace trelm::python {
namespace {

struct ItemFacts {
  std::optional<std::string> name;
  query::ItemLineage lineage;
  std::optional<cst::TextSpan> span;
  std::vector<std::optional<cst::TextSpan>> ref_spans;
};

std::optional<cst::TextSpan> range_span(const query::TokenRange& range, const cst::PositionIndex& index) {
  std::optional<cst::TextSpan> first = index.token_span(range.first);
  std::optional<cst::TextSpan> last = index.token_span(range.last);
  if (!first || !last || last->end < first->start) return std::nullopt;
  return cst::TextSpan{first->start, last->end};
}

// Each tree lock is taken and given back here; no Python object is touched.
std::vector<ItemFacts> read_items(const cst::NodeRef& select, DocState& doc) {
  std::vector<cst::NodeRef> items;
  {
    auto lock = select->read_lock();
    items = query::select_items(select->children);
  }
  std::shared_ptr<const cst::PositionIndex> index = doc.index();
  std::vector<ItemFacts> facts(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    ItemFacts& found = facts[i];
    {
      auto lock = items[i]->read_lock();
      found.name = query::item_name(items[i]->children);
      found.lineage = query::item_lineage(items[i]->children);
    }
    found.span = index->node_span(items[i].get());
    for (const query::ColumnRef& ref : found.lineage.references) found.ref_spans.push_back(range_span(ref.range, *index));
  }
  return facts;
}

PyObject* new_tuple(std::initializer_list<PyObject*> values) {
  for (PyObject* v : values) {
    if (v == nullptr) {
      for (PyObject* w : values) Py_XDECREF(w);
      return nullptr;
    }
  }
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(values.size()));
  Py_ssize_t i = 0;
  for (PyObject* v : values) {
    if (tuple == nullptr) {
      Py_DECREF(v);
    } else {
      PyTuple_SetItem(tuple, i++, v);  // steals v
    }
  }
  return tuple;
}

PyObject* item_tuple(const ItemFacts& item) {
  const std::vector<query::ColumnRef>& refs = item.lineage.references;
  PyObject* references = tuple_of(refs.size(), [&](std::size_t i) {
    return new_tuple({optional_str(refs[i].qualifier), to_py_str(refs[i].name), optional_span(item.ref_spans[i])});
  });
  const std::vector<std::string>& excluded = item.lineage.excluded;
  PyObject* names = tuple_of(excluded.size(), [&](std::size_t i) { return to_py_str(excluded[i]); });
  return new_tuple({optional_str(item.name), to_py_str(query::kind_name(item.lineage.kind)), optional_span(item.span),
                    references, names});
}

PyObject* select_lineage(PyObject*, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyTypeObject* type = select_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(arg, type)) {
      PyErr_SetString(PyExc_TypeError, "select_lineage() argument must be a Select");
      return nullptr;
    }
    cst::NodeRef select = as<PySelect>(arg)->node;
    SharedDoc doc = as<PySelect>(arg)->doc;
    std::vector<ItemFacts> facts = without_interpreter_lock([&] { return read_items(select, *doc); });
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(facts.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < facts.size(); ++i) {
      PyObject* item = item_tuple(facts[i]);
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
  });
}

}  // namespace

PyMethodDef kSelectLineageFunctions[] = {
    {"select_lineage", select_lineage, METH_O,
     "select_lineage(select, /)\n--\n\nEvery column of a SELECT clause as plain values, read at once: a tuple\n"
     "(name, kind, span, references, excluded) per column, as Column.name, .kind, .span\nand .excluded, each "
     "reference a tuple (qualifier, name, span) as ColumnRef's."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace trelm::python
