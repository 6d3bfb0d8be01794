// The Config class: the arguments of one of the document's configuration
// calls, read and written like a dict. Every access reads the tree afresh.
//
// Arguments are checked and converted before the core is called, and Python
// results are built after it returns: the core takes and releases the tree's
// locks itself, so no Python code ever runs while one is held.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "edit/config_edit.hpp"
#include "jinja/literal_reader.hpp"
#include "jinja/render.hpp"
#include "jinja/syntax_check.hpp"
#include "python/compare.hpp"
#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/literal_convert.hpp"
#include "python/lists.hpp"
#include "python/source_arg.hpp"
#include "python/types.hpp"
#include "query/metadata.hpp"

namespace trelm::python {
namespace {

cst::Document& doc_of(PyObject* self) { return as<PyConfig>(self)->doc->doc; }
std::size_t nth_of(PyObject* self) { return as<PyConfig>(self)->nth; }

// Every edit drops the document's positions, whatever its outcome.
edit::ConfigChange edited(PyObject* self, edit::ConfigChange change) {
  as<PyConfig>(self)->doc->edited();
  return change;
}

// Raises ValueError with `message`, which may hold any bytes of its key or
// source (NUL included); returns nullptr.
PyObject* raise_value_error(const std::string& message) {
  PyRef text = PyRef::steal(to_py_str(message));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

PyObject* raise_key_error(PyObject* key) {
  // A one-element tuple, so that the key itself is the argument whatever it is.
  PyRef args = PyRef::steal(PyTuple_Pack(1, key));
  if (args) PyErr_SetObject(PyExc_KeyError, args.get());
  return nullptr;
}

PyObject* raise_not_a_name(std::string_view key) {
  std::string message = "`";  // appended: g++ 12 misreads "`" + string as an overlapping copy
  (message += key) +=
      "` is not a valid argument name; a config call written as one dict, config({...}), takes any string key";
  return raise_value_error(message);
}

PyObject* raise_positional() {
  PyErr_SetString(PyExc_ValueError, "cannot edit the config call: it has positional arguments");
  return nullptr;
}

PyObject* raise_set_refused(std::string_view key, std::string_view source) {
  return raise_value_error("cannot set `" + std::string(key) + "` to `" + std::string(source) +
                           "`: the config tag would no longer read back with that value");
}

// The value of `key` converted to Python. Absent: a new reference to
// `fallback`, or KeyError when there is none.
PyObject* value_of(PyObject* self, PyObject* key_obj, std::string_view key, PyObject* fallback) {
  std::optional<std::string> source = query::config_source(doc_of(self), key, nth_of(self));
  if (!source) {
    if (fallback != nullptr) return Py_NewRef(fallback);
    return raise_key_error(key_obj);
  }
  std::optional<jinja::Literal> literal = jinja::parse_literal(*source, interpreter_character_names());
  if (!literal) {
    return raise_value_error("config argument `" + std::string(key) + "` is the expression `" + *source +
                             "`, not a literal; use raw() to read it");
  }
  return literal_to_py(*literal);
}

PyObject* config_getitem(PyObject* self, PyObject* key_obj) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::optional<std::string_view> key = utf8_arg(key_obj, "__getitem__", "key");
    if (!key) return nullptr;
    return value_of(self, key_obj, *key, nullptr);
  });
}

int delete_key(PyObject* self, PyObject* key_obj) {
  std::optional<std::string_view> key = utf8_arg(key_obj, "__delitem__", "key");
  if (!key) return -1;
  switch (edited(self, edit::remove_config(doc_of(self), *key, nth_of(self)))) {
    case edit::ConfigChange::Applied:
      return 0;
    case edit::ConfigChange::NoConfigCall:
      raise_key_error(key_obj);
      return -1;
    case edit::ConfigChange::BreaksTag:
      raise_value_error("cannot remove `" + std::string(*key) +
                        "`: the config tag would no longer read back as a config call");
      return -1;
    case edit::ConfigChange::PositionalArguments:
      raise_positional();
      return -1;
    case edit::ConfigChange::KeyNotAName:  // removal reads keys, never writes one
      raise_key_error(key_obj);
      return -1;
  }
  return -1;
}

int set_key(PyObject* self, PyObject* key_obj, PyObject* value) {
  std::optional<std::string_view> key = utf8_arg(key_obj, "__setitem__", "key");
  if (!key) return -1;
  if (!edit::takes_key(doc_of(self), *key, nth_of(self))) {
    raise_not_a_name(*key);
    return -1;
  }
  std::optional<jinja::Literal> literal = py_to_literal(value);
  if (!literal) return -1;
  cst::Document& doc = doc_of(self);
  switch (edited(self, edit::set_config(doc, *key, *literal, nth_of(self)))) {
    case edit::ConfigChange::Applied:
    case edit::ConfigChange::NoConfigCall:
      return 0;
    case edit::ConfigChange::PositionalArguments:
      raise_positional();
      return -1;
    case edit::ConfigChange::KeyNotAName:
      raise_not_a_name(*key);
      return -1;
    case edit::ConfigChange::BreaksTag:
      break;
  }
  // Refused and unchanged: name the source the edit would have written.
  char quote = jinja::quote_style(query::config_text(doc, nth_of(self)).value_or(""));
  raise_set_refused(*key, jinja::render_literal(*literal, quote));
  return -1;
}

int config_ass_subscript(PyObject* self, PyObject* key_obj, PyObject* value) {
  return guarded<int>(-1, [&] { return value == nullptr ? delete_key(self, key_obj) : set_key(self, key_obj, value); });
}

PyObject* config_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"key", "default", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* fallback = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:get", const_cast<char**>(kwlist), &key_obj, &fallback)) {
      return nullptr;
    }
    std::optional<std::string_view> key = utf8_arg(key_obj, "get", "key");
    if (!key) return nullptr;
    return value_of(self, key_obj, *key, fallback);
  });
}

PyObject* config_raw(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"key", nullptr};
    PyObject* key_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:raw", const_cast<char**>(kwlist), &key_obj)) return nullptr;
    std::optional<std::string_view> key = utf8_arg(key_obj, "raw", "key");
    if (!key) return nullptr;
    return optional_str(query::config_source(doc_of(self), *key, nth_of(self)));
  });
}

// `source` without surrounding whitespace, as str.strip() sees it; the
// method is looked up on str itself, so a subclass's override does not run.
PyRef stripped(PyObject* source) {
  PyRef strip = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "strip"));
  if (!strip) return {};
  return PyRef::steal(PyObject_CallFunctionObjArgs(strip.get(), source, nullptr));
}

PyObject* config_set_raw(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"key", "source", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* source_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:set_raw", const_cast<char**>(kwlist), &key_obj,
                                     &source_obj)) {
      return nullptr;
    }
    std::optional<std::string_view> key = utf8_arg(key_obj, "set_raw", "key");
    if (!key) return nullptr;
    if (!edit::takes_key(doc_of(self), *key, nth_of(self))) return raise_not_a_name(*key);
    if (!utf8_arg(source_obj, "set_raw", "source")) return nullptr;
    PyRef trimmed = stripped(source_obj);
    if (!trimmed) return nullptr;
    std::optional<std::string_view> source = utf8_arg(trimmed.get(), "set_raw", "source");
    if (!source) return nullptr;
    if (const auto problem = jinja::check_expression(*source)) {
      return raise_value_error("cannot set `" + std::string(*key) + "` to `" + std::string(*source) +
                               "`: not a Jinja expression (" + problem->message + ")");
    }
    switch (edited(self, edit::set_config_source(doc_of(self), *key, *source, nth_of(self)))) {
      case edit::ConfigChange::BreaksTag:
        return raise_set_refused(*key, *source);
      case edit::ConfigChange::PositionalArguments:
        return raise_positional();
      case edit::ConfigChange::KeyNotAName:
        return raise_not_a_name(*key);
      case edit::ConfigChange::Applied:
      case edit::ConfigChange::NoConfigCall:
        break;
    }
    Py_RETURN_NONE;
  });
}

PyObject* config_span(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const SharedDoc& doc = as<PyConfig>(self)->doc;
    const std::optional<cst::TokenId> tag = query::config_tag_id(doc->doc, nth_of(self));
    if (!tag) Py_RETURN_NONE;
    return optional_span(doc->index()->token_span(*tag));
  });
}

PyObject* key_list(const std::vector<std::string>& keys) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(keys.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    PyObject* item = to_py_str(keys[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* config_keys(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] { return key_list(query::config_keys(doc_of(self), nth_of(self))); });
}

Py_ssize_t config_len(PyObject* self) {
  return guarded<Py_ssize_t>(
      -1, [&] { return static_cast<Py_ssize_t>(query::config_keys(doc_of(self), nth_of(self)).size()); });
}

PyObject* config_iter(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyRef keys = PyRef::steal(key_list(query::config_keys(doc_of(self), nth_of(self))));
    if (!keys) return nullptr;
    return PyObject_GetIter(keys.get());
  });
}

int config_contains(PyObject* self, PyObject* key_obj) {
  return guarded<int>(-1, [&]() -> int {
    std::optional<std::string_view> key = utf8_arg(key_obj, "__contains__", "key");
    if (!key) return -1;
    return query::config_source(doc_of(self), *key, nth_of(self)) ? 1 : 0;
  });
}

PyObject* config_str(PyObject* self) {
  return guarded<PyObject*>(nullptr,
                            [&] { return to_py_str(query::config_text(doc_of(self), nth_of(self)).value_or("")); });
}

PyObject* config_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    std::string text = "<Config ";
    const char* separator = "";
    for (const std::string& key : query::config_keys(doc_of(self), nth_of(self))) {
      text += separator;
      text += key;
      separator = ", ";
    }
    return to_py_str(text + ">");
  });
}

// The same call of the same document: both read and edit the same tag.
PyObject* config_richcompare(PyObject* a, PyObject* b, int op) {
  return compare_by_key(a, b, op, config_type(),
                        [](PyObject* o) { return std::make_pair(as<PyConfig>(o)->doc.get(), nth_of(o)); });
}

Py_hash_t config_hash(PyObject* self) { return hash_of_address(as<PyConfig>(self)->doc.get(), nth_of(self)); }

template <typename F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef kMethods[] = {
    {"get", as_cfunction(config_get), METH_VARARGS | METH_KEYWORDS, "get($self, key, default=None)\n--\n\n"},
    {"raw", as_cfunction(config_raw), METH_VARARGS | METH_KEYWORDS,
     "raw($self, key)\n--\n\nThe Jinja source of an argument's value, such as `\"view\"` or `var(\"schema\")`."},
    {"set_raw", as_cfunction(config_set_raw), METH_VARARGS | METH_KEYWORDS,
     "set_raw($self, key, source)\n--\n\nSets an argument to Jinja source, such as `var(\"schema\")`."},
    {"keys", config_keys, METH_NOARGS, "keys($self)\n--\n\nThe argument names, in order."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"span", config_span, nullptr,
     "(start, end): where the whole config tag is in str(document); None when the document has\nno config call.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("The arguments of a `{{ config(...) }}` call, read and written like a dict.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyConfig>)},
    {Py_tp_str, reinterpret_cast<void*>(config_str)},
    {Py_tp_repr, reinterpret_cast<void*>(config_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(config_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(config_hash)},
    {Py_tp_iter, reinterpret_cast<void*>(config_iter)},
    {Py_mp_length, reinterpret_cast<void*>(config_len)},
    {Py_mp_subscript, reinterpret_cast<void*>(config_getitem)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(config_ass_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(config_contains)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = class_spec("trelm_cst.Config", sizeof(PyConfig), kSlots);

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* config_type() { return lazy_type(g_type, kSpec); }

}  // namespace trelm::python
