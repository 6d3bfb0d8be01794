// The Document class: a parsed file, its text and its queries.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "edit/rename.hpp"
#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/literal_convert.hpp"
#include "python/lists.hpp"
#include "python/source_arg.hpp"
#include "python/types.hpp"
#include "query/calls.hpp"
#include "query/diagnostics.hpp"
#include "query/metadata.hpp"
#include "query/navigation.hpp"
#include "tree/positions.hpp"
#include "tree/print.hpp"

namespace trelm::python {
namespace {

cst::Document& doc_of(PyObject* self) { return as<PyDocument>(self)->doc->doc; }
const SharedDoc& shared_doc_of(PyObject* self) { return as<PyDocument>(self)->doc; }

// Hands the memory pages wholly inside [begin, end) back to the system and
// answers where the next call may begin; the bytes given back read as zeros
// afterwards, so they must never be read again. Elsewhere than Linux the
// pages simply stay until the text is freed.
const char* give_back_pages(const char* begin, const char* end) {
#if defined(__linux__)
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(end) & ~(page - 1);
  if (first >= last || madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED) != 0) return begin;
  return begin + (last - reinterpret_cast<std::uintptr_t>(begin));
#else
  (void)end;
  return begin;
#endif
}

// A large text becomes a str a piece at a time: each piece is appended to
// the str and the pages of the text it came from are given back, so the
// text and the str are never both whole in memory. The str grows in place
// while only this code holds it; the first piece of a very large text is
// made large enough for the allocator to map it on its own (glibc maps
// blocks over 32 MB at the latest), since a str that starts on the heap is
// copied as it outgrows its place there. `text` is used up.
PyObject* take_as_py_str(std::string& text) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  if (text.size() <= 2 * kPiece) return to_py_str(text);
  const std::size_t first_piece = std::clamp(text.size() / 3, kPiece, std::size_t{33} << 20);
  PyObject* str = nullptr;
  std::size_t done = 0;
  const char* kept = text.data();  // the pages from here on are still held
  while (done < text.size()) {
    std::size_t end = std::min(text.size(), done + (done == 0 ? first_piece : std::max(kPiece, done / 8)));
    // Back to the start of a character (the text is UTF-8).
    for (int i = 0; i < 3 && end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++i) --end;
    PyRef piece = PyRef::steal(to_py_str(std::string_view(text).substr(done, end - done)));
    if (!piece) {
      Py_XDECREF(str);
      return nullptr;
    }
    if (str == nullptr) {
      str = piece.release();
    } else {
      PyUnicode_Append(&str, piece.get());
      if (str == nullptr) return nullptr;
    }
    kept = give_back_pages(kept, text.data() + end);
    done = end;
  }
  return str;
}

// The str the document was parsed from while no edit has touched it: the
// same text, and a str never changes. nullptr otherwise.
PyObject* unedited_source(const cst::Document& doc) {
  const cst::TextBuffer* source = doc.root->text.get();
  if (source == nullptr || !source->untouched()) return nullptr;
  return owned_str(source->owner());
}

// Printed with the interpreter lock released: printing takes only the tree's
// read locks and gives them all back before the str is made.
PyObject* text_of(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    SharedDoc state = shared_doc_of(self);
    if (PyObject* same = unedited_source(state->doc)) return Py_NewRef(same);
    std::string text = without_interpreter_lock([&] { return cst::document_text(state->doc); });
    return take_as_py_str(text);
  });
}

PyObject* document_str(PyObject* self) { return text_of(self); }
PyObject* document_to_string(PyObject* self, PyObject*) { return text_of(self); }

PyObject* document_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] { return parse_fast_call(args, nargs, kwnames, "parse"); });
}

PyObject* document_queries(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] {
    std::vector<cst::NodeRef> found = query::queries(doc_of(self));
    return handle_list(query_type(), found, shared_doc_of(self));
  });
}

PyObject* document_query(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    std::optional<cst::NodeRef> found = query::query(doc_of(self));
    return optional_handle(query_type(), found, shared_doc_of(self));
  });
}

PyObject* document_config(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!query::config_index(doc_of(self))) Py_RETURN_NONE;
    return new_instance<PyConfig>(config_type(), shared_doc_of(self), std::size_t{0});
  });
}

PyObject* document_configs(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::size_t count = query::config_count(doc_of(self));
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
      PyObject* item = new_instance<PyConfig>(config_type(), shared_doc_of(self), i);
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
  });
}

// A tuple of str, one per element of `texts`.
PyObject* str_tuple(const std::vector<std::string>& texts) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* item = to_py_str(texts[i]);
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return tuple.release();
}

// A list of str tuples, one per element of `rows`.
PyObject* tuple_list(const std::vector<std::vector<std::string>>& rows) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyObject* item = str_tuple(rows[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* document_refs(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    return tuple_list(with_learnt_names([&](const jinja::CharacterNames* names) {
      return query::refs(doc_of(self), names);
    }));
  });
}

PyObject* document_sources(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    std::vector<std::vector<std::string>> pairs;
    auto read = with_learnt_names([&](const jinja::CharacterNames* names) {
      return query::sources(doc_of(self), names);
    });
    for (auto& [source, table] : read) pairs.push_back({std::move(source), std::move(table)});
    return tuple_list(pairs);
  });
}

PyObject* document_root(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return new_handle(node_type(), doc_of(self).root, shared_doc_of(self)); });
}

// An index from 0 to the length of the text, both included.
PyObject* document_location(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"index", nullptr};
    PyObject* index_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:location", const_cast<char**>(kwlist), &index_obj)) {
      return nullptr;
    }
    if (!PyLong_Check(index_obj)) {
      PyErr_SetString(PyExc_TypeError, "location() argument 'index' must be int");
      return nullptr;
    }
    int overflow = 0;
    const long long index = PyLong_AsLongLongAndOverflow(index_obj, &overflow);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    std::shared_ptr<const cst::PositionIndex> positions = shared_doc_of(self)->index();
    if (overflow != 0 || index < 0 || static_cast<unsigned long long>(index) > positions->length()) {
      PyErr_Format(PyExc_IndexError, "index out of range: the text has %zu characters", positions->length());
      return nullptr;
    }
    const cst::LineColumn at = positions->location(static_cast<std::size_t>(index));
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(at.line), static_cast<Py_ssize_t>(at.column));
  });
}

PyObject* document_tokens(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] { return token_list(cst::copy_tokens(doc_of(self)), shared_doc_of(self)); });
}

// The name filter: absent or None for every call.
PyObject* document_calls(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"name", nullptr};
    PyObject* name_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:calls", const_cast<char**>(kwlist), &name_obj)) return nullptr;
    std::optional<std::string_view> name;
    if (name_obj != nullptr && name_obj != Py_None) {
      name = utf8_arg(name_obj, "calls", "name");
      if (!name) return nullptr;
    }
    // Counted before the search, so that an edit during it counts as one after.
    const std::uint64_t generation = shared_doc_of(self)->positions.generation();
    return call_list(query::calls(doc_of(self), name), shared_doc_of(self), generation);
  });
}

// Raises ValueError when there were matches and every one was refused.
PyObject* rename_result(PyObject* self, const edit::RenameCount& count, const std::string& what) {
  if (count.changed > 0) shared_doc_of(self)->edited();
  if (count.changed == 0 && count.refused > 0) {
    PyRef message = PyRef::steal(to_py_str("cannot rename " + what + ": " + std::to_string(count.refused) +
                                           " matching " + (count.refused == 1 ? "call" : "calls") +
                                           " would no longer read back with the new name"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
  }
  return PyLong_FromSize_t(count.changed);
}

// A rename that met names not yet learnt runs again for the calls it could
// not read: those it renamed no longer match, and those it refused are
// refused again, so the last run's refusals are all of them.
template <typename Rename>
edit::RenameCount rename_learning_names(Rename rename) {
  LearntCharacterNames names;
  edit::RenameCount count = rename(names.lookup());
  for (int round = 0; round < 3 && names.learn(); ++round) {
    const edit::RenameCount again = rename(names.lookup());
    count.changed += again.changed;
    count.refused = again.refused;
  }
  return count;
}

PyObject* document_rename_ref(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"old", "new", nullptr};
    PyObject* old_obj = nullptr;
    PyObject* new_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:rename_ref", const_cast<char**>(kwlist), &old_obj, &new_obj)) {
      return nullptr;
    }
    std::optional<std::string_view> old_name = utf8_arg(old_obj, "rename_ref", "old");
    if (!old_name) return nullptr;
    std::optional<std::string_view> new_name = utf8_arg(new_obj, "rename_ref", "new");
    if (!new_name) return nullptr;
    const edit::RenameCount count = rename_learning_names([&](const jinja::CharacterNames* names) {
      return edit::rename_ref(doc_of(self), *old_name, *new_name, names);
    });
    return rename_result(self, count, "ref `" + std::string(*old_name) + "`");
  });
}

// A (source, table) tuple of two str.
std::optional<edit::SourceName> source_name_arg(PyObject* arg, const char* name) {
  if (!PyTuple_Check(arg) || PyTuple_Size(arg) != 2) {
    PyErr_Format(PyExc_TypeError, "rename_source() argument '%s' must be a (source, table) tuple of str", name);
    return std::nullopt;
  }
  std::optional<std::string_view> source = utf8_arg(PyTuple_GetItem(arg, 0), "rename_source", name);
  if (!source) return std::nullopt;
  std::optional<std::string_view> table = utf8_arg(PyTuple_GetItem(arg, 1), "rename_source", name);
  if (!table) return std::nullopt;
  return edit::SourceName{*source, *table};
}

PyObject* document_rename_source(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"old", "new", nullptr};
    PyObject* old_obj = nullptr;
    PyObject* new_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:rename_source", const_cast<char**>(kwlist), &old_obj,
                                     &new_obj)) {
      return nullptr;
    }
    std::optional<edit::SourceName> old_name = source_name_arg(old_obj, "old");
    if (!old_name) return nullptr;
    std::optional<edit::SourceName> new_name = source_name_arg(new_obj, "new");
    if (!new_name) return nullptr;
    const edit::RenameCount count = rename_learning_names([&](const jinja::CharacterNames* names) {
      return edit::rename_source(doc_of(self), *old_name, *new_name, names);
    });
    return rename_result(self, count,
                         "source `" + std::string(old_name->first) + "." + std::string(old_name->second) + "`");
  });
}

template <typename F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyObject* document_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    std::size_t n = query::queries(doc_of(self)).size();
    return to_py_str("<Document with " + counted(n, "query", "queries") + ">");
  });
}

// The names of an iterable of str; a str itself is refused, for its
// characters are no tag names. Runs Python code: no lock may be held.
std::optional<std::vector<std::string>> tag_names_arg(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "diagnostics() argument 'extension_tags' must be an iterable of str, not str");
    return std::nullopt;
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return std::nullopt;
  std::vector<std::string> names;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    const std::optional<std::string_view> name = utf8_arg(item.get(), "diagnostics", "extension_tags");
    if (!name) return std::nullopt;
    names.emplace_back(*name);
  }
  if (PyErr_Occurred()) return std::nullopt;
  return names;
}

PyObject* document_template_comments(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto spans = query::template_comments(doc_of(self));
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(spans.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < spans.size(); ++i) {
      PyObject* span = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(spans[i].first),
                                     static_cast<Py_ssize_t>(spans[i].second));
      if (span == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), span);
    }
    return list.release();
  });
}

PyObject* document_diagnostics(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"extension_tags", nullptr};
    PyObject* tags_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:diagnostics", const_cast<char**>(kwlist), &tags_obj)) {
      return nullptr;
    }
    jinja::ExtensionTags extensions;
    if (tags_obj != nullptr) {
      std::optional<std::vector<std::string>> names = tag_names_arg(tags_obj);
      if (!names) return nullptr;
      extensions.names = std::move(*names);
    }
    return diagnostic_list(query::diagnostics(doc_of(self), extensions));
  });
}

PyMethodDef kMethods[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(document_parse)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "parse(source)\n--\n\nParses trelm source into a Document."},
    {"to_string", document_to_string, METH_NOARGS, "to_string($self)\n--\n\nThe document as trelm source. Until the first edit it is the str the document "
     "was\nparsed from, the same object."},
    {"queries", document_queries, METH_NOARGS,
     "queries($self)\n--\n\nEvery query in the file, including CTE bodies and subqueries, outermost first."},
    {"location", as_cfunction(document_location), METH_VARARGS | METH_KEYWORDS,
     "location($self, index)\n--\n\nThe (line, column) of an index into str(document), both 1-based and counted in "
     "characters;\nlines end at \"\\n\". Raises IndexError outside 0..len(str(document))."},
    {"tokens", document_tokens, METH_NOARGS, "tokens($self)\n--\n\nEvery token of the document, in order."},
    {"calls", as_cfunction(document_calls), METH_VARARGS | METH_KEYWORDS,
     "calls($self, name=None)\n--\n\nEvery call in the document's Jinja tags, in order; only those with this "
     "dotted name\nwhen one is given, such as `ref` or `adapter.dispatch`."},
    {"rename_ref", as_cfunction(document_rename_ref), METH_VARARGS | METH_KEYWORDS,
     "rename_ref($self, old, new)\n--\n\nRenames the model of every ref() call with string arguments that names "
     "`old`.\nReturns how many calls changed; raises ValueError when every match is refused."},
    {"rename_source", as_cfunction(document_rename_source), METH_VARARGS | METH_KEYWORDS,
     "rename_source($self, old, new)\n--\n\nRenames every two-argument source() call naming the (source, table) "
     "`old`.\nReturns how many calls changed; raises ValueError when every match is refused."},
    {"template_comments", document_template_comments, METH_NOARGS,
     "template_comments($self)\n--\n\nThe (start, end) indices into str(document) of every template comment, "
     "found as the\nengine finds them: inside SQL strings and comments too."},
    {"diagnostics", as_cfunction(document_diagnostics), METH_VARARGS | METH_KEYWORDS,
     "diagnostics($self, extension_tags=())\n--\n\nEvery problem the template engine would refuse, and unpaired "
     "SQL brackets, in\ndocument order. A statement tag that neither the engine nor `extension_tags` knows is "
     "an\n`unknown-tag` warning."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"query", document_query, nullptr, "The first query at the top level of the file: the model's own SELECT.",
     nullptr},
    {"config", document_config, nullptr, "The `{{ config(...) }}` call at the top level of the file.", nullptr},
    {"configs", document_configs, nullptr,
     "Every `{{ config(...) }}` call at the top level of the file, in order; later ones override earlier ones.",
     nullptr},
    {"refs", document_refs, nullptr, "The arguments of every ref() call: (model,) or (package, model).", nullptr},
    {"sources", document_sources, nullptr, "The (source_name, table_name) of every source() call.", nullptr},
    {"root", document_root, nullptr, "The root node of the syntax tree.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A parsed trelm file. str() returns the source, including any edits.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyDocument>)},
    {Py_tp_str, reinterpret_cast<void*>(document_str)},
    {Py_tp_repr, reinterpret_cast<void*>(document_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = class_spec("trelm_cst.Document", sizeof(PyDocument), kSlots);

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* document_type() { return lazy_type(g_type, kSpec); }

}  // namespace trelm::python
