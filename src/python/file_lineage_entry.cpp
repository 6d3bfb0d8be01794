// _lineage_files(paths, jobs): the lineage of each model file as far as the
// file alone says (query/file_lineage.hpp), as plain Python values. Files
// are read, parsed and resolved on the batch's own threads with the
// interpreter lock released, and each tree is freed there: Python values
// are built afterwards from plain C++ values. A file the batch cannot take
// (see _scan_model_files) comes back as None, for the caller's own way; one
// the file alone does not decide, as the reason.
#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "parser/parse.hpp"
#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/lists.hpp"
#include "python/py_ref.hpp"
#include "python/types.hpp"
#include "python/whole_file.hpp"
#include "query/file_lineage.hpp"

namespace trelm::python {
namespace {

// The file's lineage, undecided or not; nullopt when it cannot be read or parsed.
std::optional<query::FileLineage> lineage_of(const std::string& path, const query::RefColumns* refs) noexcept {
  try {
    std::optional<std::string> data = read_regular_file(path);
    if (!data || !is_utf8(*data)) return std::nullopt;
    auto text = std::make_shared<std::string>(std::move(*data));
    parser::ParseResult parsed = parser::parse(*text, text);
    auto* doc = std::get_if<cst::Document>(&parsed);
    if (doc == nullptr) return std::nullopt;
    return query::file_lineage(*doc, refs);
  } catch (...) {
    return std::nullopt;  // the caller's way says what went wrong
  }
}

void resolve_files(const std::vector<std::string>& paths, const std::vector<std::optional<query::RefColumns>>& refs,
                   std::vector<std::optional<query::FileLineage>>& out, std::size_t jobs) {
  std::atomic<std::size_t> next{0};
  const auto work = [&]() noexcept {
    while (true) {
      const std::size_t first = next.fetch_add(kFilesPerChunk);
      if (first >= paths.size()) return;
      const std::size_t last = std::min(paths.size(), first + kFilesPerChunk);
      for (std::size_t i = first; i < last; ++i) {
        try {
          out[i] = lineage_of(paths[i], refs[i] ? &*refs[i] : nullptr);
        } catch (...) {
          out[i].reset();  // out of memory: the file follows the caller's way
        }
      }
    }
  };
  on_threads(jobs, paths.size(), work);
}

// --------------------------------------------------------- Python values

template <typename Make>
PyObject* tuple_of(std::size_t size, Make make) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(size)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return tuple.release();
}

// Packs owned references; none is lost when one is missing.
PyObject* pack(std::initializer_list<PyObject*> values) {
  bool complete = true;
  for (PyObject* v : values) complete = complete && v != nullptr;
  PyObject* tuple = complete ? PyTuple_New(static_cast<Py_ssize_t>(values.size())) : nullptr;
  Py_ssize_t i = 0;
  for (PyObject* v : values) {
    if (tuple != nullptr) {
      PyTuple_SetItem(tuple, i++, v);  // steals v
    } else {
      Py_XDECREF(v);
    }
  }
  return tuple;
}

PyObject* optional_int(const std::optional<cst::LineColumn>& where, bool line) {
  if (!where) return Py_NewRef(Py_None);
  return PyLong_FromSize_t(line ? where->line : where->column);
}

// (kind, name, column, via, star, reason): name a (source, table) for a
// source, None for ambiguous and unresolved.
PyObject* origin_tuple(const query::LineageOrigin& origin) {
  PyObject* name = nullptr;
  if (origin.kind == "source") {
    name = pack({to_py_str(origin.source_name), to_py_str(origin.name)});
  } else if (origin.kind == "ambiguous" || origin.kind == "unresolved") {
    name = Py_NewRef(Py_None);
  } else {
    name = to_py_str(origin.name);
  }
  PyObject* via = tuple_of(origin.via.size(), [&](std::size_t i) { return to_py_str(origin.via[i]); });
  return pack({to_py_str(origin.kind), name, to_py_str(origin.column), via, PyBool_FromLong(origin.star ? 1 : 0),
               optional_str(origin.reason)});
}

PyObject* origins_tuple(const std::vector<query::LineageOrigin>& origins) {
  return tuple_of(origins.size(), [&](std::size_t i) { return origin_tuple(origins[i]); });
}

// (name, kind, from a star, line, column, origins or None)
PyObject* column_tuple(const query::OutputColumn& column) {
  PyObject* origins = column.name ? origins_tuple(column.origins) : Py_NewRef(Py_None);
  return pack({optional_str(column.name), to_py_str(column.kind), PyBool_FromLong(column.from_star ? 1 : 0),
               optional_int(column.where, true), optional_int(column.where, false), origins});
}

// (text, clause, line, column, origins)
PyObject* filter_tuple(const query::FilterUse& use) {
  return pack({to_py_str(use.text), to_py_str(use.clause), optional_int(use.where, true),
               optional_int(use.where, false), origins_tuple(use.origins)});
}

// (has a query, columns, filters), or why the file alone cannot say.
PyObject* file_tuple(const query::FileLineage& found) {
  if (!found.undecided.empty()) return to_py_str(found.undecided);
  PyObject* columns = tuple_of(found.columns.size(), [&](std::size_t i) { return column_tuple(found.columns[i]); });
  PyObject* filters = tuple_of(found.filters.size(), [&](std::size_t i) { return filter_tuple(found.filters[i]); });
  return pack({PyBool_FromLong(found.has_query ? 1 : 0), columns, filters});
}

std::optional<std::string_view> utf8_of(PyObject* text) {
  if (!PyUnicode_Check(text)) {
    PyErr_SetString(PyExc_TypeError, "_lineage_files() names must be str");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

// A dict of ref name to a list of column names or None, as RefColumns;
// nullopt with an error set when it is anything else.
std::optional<query::RefColumns> ref_columns(PyObject* dict) {
  if (!PyDict_Check(dict)) {
    PyErr_SetString(PyExc_TypeError, "_lineage_files() columns must be dicts or None");
    return std::nullopt;
  }
  query::RefColumns found;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    std::optional<std::string_view> name = utf8_of(key);
    if (!name) return std::nullopt;
    std::optional<std::vector<std::string>> names;
    if (value != Py_None) {
      PyRef items = PyRef::steal(PySequence_Tuple(value));
      if (!items) return std::nullopt;
      names.emplace();
      for (Py_ssize_t i = 0; i < PyTuple_Size(items.get()); ++i) {
        std::optional<std::string_view> column = utf8_of(PyTuple_GetItem(items.get(), i));
        if (!column) return std::nullopt;
        names->emplace_back(*column);
      }
    }
    found.emplace(std::string(*name), std::move(names));
  }
  return found;
}


PyObject* lineage_files(PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"paths", "jobs", "columns", nullptr};
  PyObject* paths_obj = nullptr;
  Py_ssize_t jobs = 1;
  PyObject* columns_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On|O:_lineage_files", const_cast<char**>(kwlist), &paths_obj,
                                   &jobs, &columns_obj)) {
    return nullptr;
  }
  PyRef sequence = PyRef::steal(PySequence_Tuple(paths_obj));
  if (!sequence) return nullptr;
  const Py_ssize_t count = PyTuple_Size(sequence.get());
  std::optional<std::vector<std::string>> read_paths = file_system_paths(sequence.get(), "_lineage_files");
  if (!read_paths) return nullptr;
  const std::vector<std::string>& paths = *read_paths;
  std::vector<std::optional<query::RefColumns>> refs(paths.size());
  if (columns_obj != Py_None) {
    PyRef columns = PyRef::steal(PySequence_Tuple(columns_obj));
    if (!columns) return nullptr;
    if (PyTuple_Size(columns.get()) != count) {
      PyErr_SetString(PyExc_ValueError, "_lineage_files() needs as many columns as paths");
      return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* dict = PyTuple_GetItem(columns.get(), i);
      if (dict == Py_None) continue;
      refs[static_cast<std::size_t>(i)] = ref_columns(dict);
      if (!refs[static_cast<std::size_t>(i)]) return nullptr;
    }
  }
  std::vector<std::optional<query::FileLineage>> found(paths.size());
  const auto workers = static_cast<std::size_t>(std::max<Py_ssize_t>(1, jobs));
  without_interpreter_lock([&] {
    resolve_files(paths, refs, found, workers);
    return 0;
  });
  PyRef list = PyRef::steal(PyList_New(count));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < found.size(); ++i) {
    PyObject* item = found[i] ? file_tuple(*found[i]) : Py_NewRef(Py_None);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* lineage_files_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] { return lineage_files(args, kwargs); });
}

}  // namespace

PyMethodDef kFileLineageFunctions[] = {
    {"_lineage_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(lineage_files_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "_lineage_files(paths, jobs, columns=None)\n--\n\nFor each path, (has a query, columns, filters) as far as "
     "the file says, with the\ncolumns of its refs' models when `columns` gives them (a dict per path: ref name to "
     "a\nlist of names, or None when unknown); why it cannot say as a str; None for a file to\nfollow the slow "
     "way."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace trelm::python
