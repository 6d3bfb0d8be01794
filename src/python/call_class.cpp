// The Call class: one call in a Jinja tag, as it was when read.
#include <optional>
#include <string>

#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/lists.hpp"
#include "python/types.hpp"

namespace trelm::python {
namespace {

const query::FoundCall& call_of(PyObject* self) { return as<PyCall>(self)->call; }

PyObject* call_name(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(call_of(self).name); });
}

PyObject* call_args(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::vector<std::string_view> args = call_of(self).args();
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < args.size(); ++i) {
      PyObject* item = to_py_str(args[i]);
      if (item == nullptr) return nullptr;
      PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return tuple.release();
  });
}

PyObject* call_kwargs(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, value] : call_of(self).kwargs()) {
      PyRef k = PyRef::steal(to_py_str(key));
      PyRef v = PyRef::steal(to_py_str(value));
      if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
  });
}

// `span` moved along with the token that holds the call, when that token is
// still in the document as it was (found by its id and just as long);
// nullopt otherwise.
std::optional<cst::TextSpan> current(PyObject* self, cst::TextSpan span) {
  const query::FoundCall& call = call_of(self);
  PyCall* found = as<PyCall>(self);
  // Nothing edited since: the call is where it was found, and the index of
  // every token (several times the cost of the parse) is not needed.
  if (found->doc->positions.generation() == found->generation) return span;
  std::optional<cst::TextSpan> token = found->doc->index()->token_span(call.token);
  if (!token || token->end - token->start != call.token_span.end - call.token_span.start) return std::nullopt;
  return cst::TextSpan{token->start + (span.start - call.token_span.start),
                       token->start + (span.end - call.token_span.start)};
}

PyObject* call_span(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return optional_span(current(self, call_of(self).span)); });
}

PyObject* call_tag_span(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return optional_span(current(self, call_of(self).tag_span)); });
}

PyObject* call_str(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str(call_of(self).text()); });
}

PyObject* call_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return to_py_str("<Call " + call_of(self).name + ">"); });
}

PyGetSetDef kGetSet[] = {
    {"name", call_name, nullptr, "The called name, dotted: `ref`, `adapter.dispatch`.", nullptr},
    {"args", call_args, nullptr, "The source text of each positional argument, trimmed.", nullptr},
    {"kwargs", call_kwargs, nullptr, "The source text of each keyword argument by name, in order: a fresh dict.",
     nullptr},
    {"span", call_span, nullptr,
     "(start, end): where the call's text is in str(document); None when its tag is no longer\npart of the "
     "document.",
     nullptr},
    {"tag_span", call_tag_span, nullptr, "(start, end): where the whole tag holding the call is in str(document).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A call in a Jinja tag, as it was when read. str() gives its text.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyCall>)},
    {Py_tp_str, reinterpret_cast<void*>(call_str)},
    {Py_tp_repr, reinterpret_cast<void*>(call_repr)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = class_spec("trelm_cst.Call", sizeof(PyCall), kSlots);

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* call_type() { return lazy_type(g_type, kSpec); }

}  // namespace trelm::python
