// _scan_model_files(paths, jobs, ...) and _scan_document(doc, text, ...):
// what a project needs of each model file (query/model_scan.hpp) as the
// project's own records. The batch reads, parses and scans its files on its
// own threads with the interpreter lock released; Python values are built
// afterwards, with no tree alive. A file it cannot take as it stands (a symbolic link,
// anything but a regular file, text that is not UTF-8, a syntax error, an
// error while reading) comes back as None: the caller reads it the slow
// way, which words every such problem.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "parser/parse.hpp"
#include "python/guard.hpp"
#include "python/handle.hpp"
#include "python/literal_convert.hpp"
#include "python/lists.hpp"
#include "python/types.hpp"
#include "python/whole_file.hpp"
#include "query/model_scan.hpp"

namespace trelm::python {

namespace {

// Deeper config values are left out, as the JSON the command line writes
// leaves them out (MAX_JSON_DEPTH in _describe.py).
constexpr int kMaxJsonDepth = 100;

// Character names answered from those learnt so far; the others are noted,
// to be asked of the interpreter once every thread is done.
class NameRecorder {
 public:
  explicit NameRecorder(const std::unordered_map<std::string, std::optional<char32_t>>& known)
      : lookup_([this, &known](std::string_view name) -> std::optional<char32_t> {
          auto found = known.find(std::string(name));
          if (found != known.end()) return found->second;
          missed_.emplace_back(name);
          return std::nullopt;
        }) {}
  const jinja::CharacterNames* lookup() const { return &lookup_; }
  std::vector<std::string>& missed() { return missed_; }

 private:
  std::vector<std::string> missed_;
  jinja::CharacterNames lookup_;
};

struct FileScan {
  bool ok = false;  // false: read it the slow way
  query::ModelScan scan;
  std::shared_ptr<std::string> text;  // kept when needed again: snapshots, names to learn
  std::vector<std::string> missed;    // character names not known while scanning
};

bool needs_text_again(const std::string& text) { return text.find("snapshot") != std::string::npos; }

void scan_text(FileScan& out, std::shared_ptr<std::string> text, NameRecorder& names) {
  const std::string_view view = *text;
  parser::ParseResult parsed = parser::parse(view, text);
  auto* doc = std::get_if<cst::Document>(&parsed);
  if (doc == nullptr) return;
  names.missed().clear();
  out.scan = query::scan_model(*doc, view, names.lookup());
  out.missed = std::move(names.missed());
  out.ok = true;
  if (!out.missed.empty() || needs_text_again(*text)) out.text = std::move(text);
}

void scan_file(FileScan& out, const std::string& path, NameRecorder& names) noexcept {
  try {
    std::optional<std::string> data = read_regular_file(path);
    if (!data || !is_utf8(*data)) return;
    scan_text(out, std::make_shared<std::string>(std::move(*data)), names);
  } catch (...) {
    out = FileScan{};  // the slow way says what went wrong
  }
}

void scan_files(const std::vector<std::string>& paths, std::vector<FileScan>& out, std::size_t jobs,
                const std::unordered_map<std::string, std::optional<char32_t>>& known) {
  std::atomic<std::size_t> next{0};
  const auto work = [&]() noexcept {
    try {
      NameRecorder names(known);
      while (true) {
        const std::size_t first = next.fetch_add(kFilesPerChunk);
        if (first >= paths.size()) return;
        const std::size_t last = std::min(paths.size(), first + kFilesPerChunk);
        for (std::size_t i = first; i < last; ++i) scan_file(out[i], paths[i], names);
      }
    } catch (...) {
      // Out of memory for the recorder: the files left are read the slow way.
    }
  };
  on_threads(jobs, paths.size(), work);
}

// --------------------------------------------------------- Python values

// Whether JSON holds the value as it is: what is_plain_json in _describe.py
// answers, read with the C API only.
bool is_plain_json(PyObject* value) {
  std::vector<std::pair<PyObject*, int>> pending{{value, 0}};
  while (!pending.empty()) {
    auto [item, depth] = pending.back();
    pending.pop_back();
    if (depth > kMaxJsonDepth) return false;
    if (PyFloat_Check(item) && !std::isfinite(PyFloat_AsDouble(item))) return false;
    if (PyLong_Check(item)) {
      int overflow = 0;
      PyLong_AsLongLongAndOverflow(item, &overflow);
      if (overflow != 0) {
        PyRef text = PyRef::steal(PyObject_Str(item));
        if (!text) {
          PyErr_Clear();  // past the interpreter's digit limit
          return false;
        }
      }
    }
    if (PyList_Check(item)) {
      const Py_ssize_t size = PyList_Size(item);
      for (Py_ssize_t i = 0; i < size; ++i) pending.emplace_back(PyList_GetItem(item, i), depth + 1);
    } else if (PyDict_Check(item)) {
      PyObject* key = nullptr;
      PyObject* element = nullptr;
      Py_ssize_t pos = 0;
      while (PyDict_Next(item, &pos, &key, &element)) {
        if (!PyUnicode_Check(key)) return false;
      }
      pos = 0;
      while (PyDict_Next(item, &pos, &key, &element)) pending.emplace_back(element, depth + 1);
    }
  }
  return true;
}

// The Python value of a literal; nullptr without an error when Python has
// none for it (a dict key it cannot hash, an int past its digit limit),
// nullptr with the error set for any other failure.
PyObject* value_or_nothing(const jinja::Literal& literal) {
  PyObject* value = literal_to_py(literal);
  if (value == nullptr && (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError))) {
    PyErr_Clear();
  }
  return value;
}

// The literal config values of every call, a later call's over an
// earlier's, a value that is no plain JSON-ready literal removing the key
// (merge_configs in _describe.py).
PyObject* merged_config(const std::vector<query::ScannedConfig>& configs) {
  PyRef values = PyRef::steal(PyDict_New());
  if (!values) return nullptr;
  for (const query::ScannedConfig& config : configs) {
    for (const auto& [key, literal] : config.entries) {
      PyRef name = PyRef::steal(to_py_str(key));
      if (!name) return nullptr;
      PyRef value;
      if (literal) {
        value = PyRef::steal(value_or_nothing(*literal));
        if (!value && PyErr_Occurred()) return nullptr;
        if (value && !is_plain_json(value.get())) value = PyRef();
        if (PyErr_Occurred()) return nullptr;
      }
      if (value) {
        if (PyDict_SetItem(values.get(), name.get(), value.get()) < 0) return nullptr;
      } else if (PyDict_DelItem(values.get(), name.get()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
        PyErr_Clear();
      }
    }
  }
  return values.release();
}

PyObject* str_tuple(const std::vector<std::string>& strings, std::size_t first, std::size_t count) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = to_py_str(strings[first + i]);
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

// A ref's value of version= (or v=): the literal's value, else its source.
PyObject* version_of(const query::ScannedCall& call) {
  if (!call.version_source) return Py_NewRef(Py_None);
  if (call.version) {
    PyObject* value = value_or_nothing(*call.version);
    if (value != nullptr || PyErr_Occurred()) return value;
  }
  return to_py_str(*call.version_source);
}

// A ref's or source's values but its kind and path: `model` is None unless
// the arguments name one (with package and version), `source` unless they
// name a (source, table).
struct CallValues {
  PyRef line, column, text, model, package, version, source;

  // False, with the error set, when one cannot be made.
  bool read(const query::ScannedCall& call, bool is_ref) {
    const std::vector<std::string>* names = call.strings ? &*call.strings : nullptr;
    const bool resolved = names != nullptr && (is_ref ? !names->empty() && names->size() <= 2 : names->size() == 2);
    line = PyRef::steal(PyLong_FromSize_t(call.line));
    column = PyRef::steal(PyLong_FromSize_t(call.column));
    text = PyRef::steal(to_py_str(call.text));
    model = PyRef::borrow(Py_None), package = PyRef::borrow(Py_None), version = PyRef::borrow(Py_None);
    source = PyRef::borrow(Py_None);
    if (resolved && is_ref) {
      model = PyRef::steal(to_py_str(names->back()));
      package = PyRef::steal(names->size() == 2 ? to_py_str(names->front()) : Py_NewRef(Py_None));
      version = PyRef::steal(version_of(call));
    } else if (resolved) {
      source = PyRef::steal(str_tuple(*names, 0, 2));
    }
    return line && column && text && model && package && version && source;
  }
};

// A call's values as a worker process sends them: (line, column, text,
// model, package, version) of a ref, (line, column, text, source) of a source.
PyObject* call_values(const query::ScannedCall& call, bool is_ref) {
  CallValues values;
  if (!values.read(call, is_ref)) return nullptr;
  if (!is_ref) return PyTuple_Pack(4, values.line.get(), values.column.get(), values.text.get(), values.source.get());
  return PyTuple_Pack(6, values.line.get(), values.column.get(), values.text.get(), values.model.get(),
                      values.package.get(), values.version.get());
}

// What the scan found in a file as plain values: (refs, sources, config,
// line, column), refs and sources tuples of call_values. A worker process
// sends this back: tuples pickle and load at a fraction of the cost of the
// records, which the parent then makes natively (RecordTypes::model_of).
PyObject* scan_values(const query::ModelScan& scan) {
  PyRef refs =
      PyRef::steal(tuple_of(scan.refs.size(), [&](std::size_t i) { return call_values(scan.refs[i], true); }));
  PyRef sources =
      PyRef::steal(tuple_of(scan.sources.size(), [&](std::size_t i) { return call_values(scan.sources[i], false); }));
  PyRef config = PyRef::steal(merged_config(scan.configs));
  PyRef line = PyRef::steal(PyLong_FromSize_t(scan.config_line));
  PyRef column = PyRef::steal(PyLong_FromSize_t(scan.config_column));
  if (!refs || !sources || !config || !line || !column) return nullptr;
  return PyTuple_Pack(5, refs.get(), sources.get(), config.get(), line.get(), column.get());
}

// The classes of the project's records (its Model and Ref), their
// attribute names and the kinds they share, made once per call.
class RecordTypes {
 public:
  bool read(PyObject* model_type, PyObject* ref_type) {
    if (!PyType_Check(model_type) || !PyType_Check(ref_type)) {
      PyErr_SetString(PyExc_TypeError, "record types must be classes");
      return false;
    }
    model_ = model_type;
    ref_ = ref_type;
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      names_[i] = PyRef::steal(PyUnicode_InternFromString(kNames[i]));
      if (!names_[i]) return false;
    }
    for (std::size_t i = 0; i < kKinds.size(); ++i) {
      kinds_[i] = PyRef::steal(PyUnicode_InternFromString(kKinds[i]));
      if (!kinds_[i]) return false;
    }
    return true;
  }

  // The record of a file, from what the scan found in it.
  PyObject* model(const query::ModelScan& scan, PyObject* path) const {
    const auto refs_of = [&](const std::vector<query::ScannedCall>& calls, bool is_ref) {
      return list_of(calls.size(), [&](std::size_t i) -> PyObject* {
        CallValues values;
        return values.read(calls[i], is_ref) ? ref(values, is_ref, path) : nullptr;
      });
    };
    PyRef refs = PyRef::steal(refs_of(scan.refs, true));
    PyRef sources = PyRef::steal(refs_of(scan.sources, false));
    PyRef config = PyRef::steal(merged_config(scan.configs));
    PyRef line = PyRef::steal(PyLong_FromSize_t(scan.config_line));
    PyRef column = PyRef::steal(PyLong_FromSize_t(scan.config_column));
    if (!refs || !sources || !config || !line || !column) return nullptr;
    return record(path, refs.get(), sources.get(), config.get(), line.get(), column.get(), Py_None);
  }

  // The record of a file from scan_values() and its snapshot blocks (a
  // list, or None for none). Raises TypeError for values of another shape.
  PyObject* model_of(PyObject* path, PyObject* values, PyObject* blocks) const {
    if (!PyUnicode_Check(path) || !PyTuple_Check(values) || PyTuple_Size(values) != 5 ||
        !PyTuple_Check(PyTuple_GetItem(values, 0)) || !PyTuple_Check(PyTuple_GetItem(values, 1)) ||
        !PyDict_Check(PyTuple_GetItem(values, 2)) || (blocks != Py_None && !PyList_Check(blocks))) {
      PyErr_SetString(PyExc_TypeError, "not a scanned file's values");
      return nullptr;
    }
    PyRef refs = PyRef::steal(ref_list(PyTuple_GetItem(values, 0), true, path));
    PyRef sources = PyRef::steal(ref_list(PyTuple_GetItem(values, 1), false, path));
    if (!refs || !sources) return nullptr;
    return record(path, refs.get(), sources.get(), PyTuple_GetItem(values, 2), PyTuple_GetItem(values, 3),
                  PyTuple_GetItem(values, 4), blocks);
  }

 private:
  enum Name : std::uint8_t {
    kName, kPath, kRefs, kSources, kConfig, kError, kProject, kKind, kLine, kColumn, kColumns,
    kSnapshotBlocks, kText, kModel, kPackage, kVersion, kSource, kCount,
  };
  static constexpr std::array<const char*, kCount> kNames = {
      "name", "path", "refs", "sources", "config", "error", "project", "kind", "line", "column", "columns",
      "snapshot_blocks", "text", "model", "package", "version", "source",
  };
  enum Kind : std::uint8_t { kModelKind, kRefKind, kSourceKind, kKindCount };
  static constexpr std::array<const char*, kKindCount> kKinds = {"model", "ref", "source"};

  // An instance of a plain class with these attributes, its __init__ not
  // run: the dataclass's own __init__ cost more than the scan of the file.
  // Each is set as object.__setattr__ sets it, past a frozen class's own
  // __setattr__ and into whatever the interpreter keeps instance attributes
  // in (3.13 keeps them inline, beside no dict at all).
  PyObject* instance(PyObject* type, std::initializer_list<std::pair<Name, PyObject*>> attributes) const {
    auto* klass = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(klass, Py_tp_alloc));
    if (alloc == nullptr) {
      PyErr_SetString(PyExc_TypeError, "record type cannot be allocated");
      return nullptr;
    }
    PyRef object = PyRef::steal(alloc(klass, 0));
    if (!object) return nullptr;
    for (const auto& [name, value] : attributes) {
      if (PyObject_GenericSetAttr(object.get(), names_[name].get(), value) < 0) return nullptr;
    }
    return object.release();
  }

  // A file's record of its parts; a new list for `blocks` None.
  PyObject* record(PyObject* path, PyObject* refs, PyObject* sources, PyObject* config, PyObject* line,
                   PyObject* column, PyObject* blocks) const {
    PyRef name = PyRef::steal(model_name(path));
    PyRef project = PyRef::steal(PyUnicode_FromStringAndSize("", 0));
    PyRef columns = PyRef::steal(PyDict_New());
    PyRef own_blocks = PyRef::steal(blocks == Py_None ? PyList_New(0) : Py_NewRef(blocks));
    if (!name || !project || !columns || !own_blocks) return nullptr;
    return instance(model_, {{kName, name.get()},
                             {kPath, path},
                             {kRefs, refs},
                             {kSources, sources},
                             {kConfig, config},
                             {kError, Py_None},
                             {kProject, project.get()},
                             {kKind, kinds_[kModelKind].get()},
                             {kLine, line},
                             {kColumn, column},
                             {kColumns, columns.get()},
                             {kSnapshotBlocks, own_blocks.get()}});
  }

  PyObject* ref(const CallValues& values, bool is_ref, PyObject* path) const {
    return instance(ref_, {{kKind, kinds_[is_ref ? kRefKind : kSourceKind].get()},
                           {kPath, path},
                           {kLine, values.line.get()},
                           {kColumn, values.column.get()},
                           {kText, values.text.get()},
                           {kModel, values.model.get()},
                           {kPackage, values.package.get()},
                           {kVersion, values.version.get()},
                           {kSource, values.source.get()}});
  }

  // A ref's or source's record from its call_values().
  PyObject* ref(PyObject* values, bool is_ref, PyObject* path) const {
    if (!PyTuple_Check(values) || PyTuple_Size(values) != (is_ref ? 6 : 4)) {
      PyErr_SetString(PyExc_TypeError, "not a scanned call's values");
      return nullptr;
    }
    PyObject* none = Py_None;
    return instance(ref_, {{kKind, kinds_[is_ref ? kRefKind : kSourceKind].get()},
                           {kPath, path},
                           {kLine, PyTuple_GetItem(values, 0)},
                           {kColumn, PyTuple_GetItem(values, 1)},
                           {kText, PyTuple_GetItem(values, 2)},
                           {kModel, is_ref ? PyTuple_GetItem(values, 3) : none},
                           {kPackage, is_ref ? PyTuple_GetItem(values, 4) : none},
                           {kVersion, is_ref ? PyTuple_GetItem(values, 5) : none},
                           {kSource, is_ref ? none : PyTuple_GetItem(values, 3)}});
  }

  PyObject* ref_list(PyObject* calls, bool is_ref, PyObject* path) const {
    const Py_ssize_t size = PyTuple_Size(calls);
    return list_of(static_cast<std::size_t>(size), [&](std::size_t i) {
      return ref(PyTuple_GetItem(calls, static_cast<Py_ssize_t>(i)), is_ref, path);
    });
  }

  // The file's name without its ".sql", as a model is named.
  static PyObject* model_name(PyObject* path) {
    const Py_ssize_t size = PyUnicode_GetLength(path);
    if (size < 0) return nullptr;
    const Py_ssize_t slash = PyUnicode_FindChar(path, '/', 0, size, -1);
    if (slash == -2) return nullptr;
    const Py_ssize_t start = slash + 1;
    PyRef suffix = PyRef::steal(PyUnicode_FromString(".sql"));
    if (!suffix) return nullptr;
    const Py_ssize_t ends = PyUnicode_Tailmatch(path, suffix.get(), start, size, 1);
    if (ends < 0) return nullptr;
    return PyUnicode_Substring(path, start, ends == 1 ? size - 4 : size);
  }

  PyObject* model_ = nullptr;
  PyObject* ref_ = nullptr;
  std::array<PyRef, kCount> names_;
  std::array<PyRef, kKindCount> kinds_;
};

// Asks the interpreter for the names the threads missed. Called with the
// interpreter lock held and no tree alive.
bool learn_names(std::vector<FileScan>& scans, std::unordered_map<std::string, std::optional<char32_t>>& known) {
  bool learnt = false;
  const jinja::CharacterNames* interpreter = interpreter_character_names();
  for (FileScan& scan : scans) {
    for (const std::string& name : scan.missed) {
      if (known.count(name) != 0) continue;
      known.emplace(name, (*interpreter)(name));
      learnt = true;
    }
  }
  return learnt;
}

PyObject* scan_model_files(PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"paths", "jobs", "model_type", "ref_type", nullptr};
  PyObject* paths_obj = nullptr;
  Py_ssize_t jobs = 1;
  PyObject* model_type = nullptr;
  PyObject* ref_type = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnOO:_scan_model_files", const_cast<char**>(kwlist), &paths_obj,
                                   &jobs, &model_type, &ref_type)) {
    return nullptr;
  }
  RecordTypes records;
  if (!records.read(model_type, ref_type)) return nullptr;
  PyRef sequence = PyRef::steal(PySequence_Tuple(paths_obj));
  if (!sequence) return nullptr;
  const Py_ssize_t count = PyTuple_Size(sequence.get());
  std::optional<std::vector<std::string>> read_paths = file_system_paths(sequence.get(), "_scan_model_files");
  if (!read_paths) return nullptr;
  const std::vector<std::string>& paths = *read_paths;
  std::vector<FileScan> scans(paths.size());
  std::unordered_map<std::string, std::optional<char32_t>> known;
  const auto workers = static_cast<std::size_t>(std::max<Py_ssize_t>(1, jobs));
  without_interpreter_lock([&] {
    scan_files(paths, scans, workers, known);
    return 0;
  });
  if (learn_names(scans, known)) {
    // Rare: read again the files that met names, now that they are known.
    without_interpreter_lock([&] {
      NameRecorder names(known);
      for (FileScan& scan : scans) {
        if (scan.missed.empty()) continue;
        std::shared_ptr<std::string> text = std::move(scan.text);
        scan = FileScan{};
        try {
          scan_text(scan, std::move(text), names);
        } catch (...) {
          scan = FileScan{};
        }
      }
      return 0;
    });
  }
  PyRef list = PyRef::steal(PyList_New(count));
  PyRef texts = PyRef::steal(PyDict_New());
  if (!list || !texts) return nullptr;
  for (std::size_t i = 0; i < scans.size(); ++i) {
    const auto at = static_cast<Py_ssize_t>(i);
    if (!scans[i].ok) {
      PyList_SetItem(list.get(), at, Py_NewRef(Py_None));
      continue;
    }
    PyObject* item = records.model(scans[i].scan, PyTuple_GetItem(sequence.get(), at));
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), at, item);
    if (scans[i].text && needs_text_again(*scans[i].text)) {
      PyRef index = PyRef::steal(PyLong_FromSsize_t(at));
      PyRef text = PyRef::steal(to_py_str(*scans[i].text));
      if (!index || !text || PyDict_SetItem(texts.get(), index.get(), text.get()) < 0) return nullptr;
    }
  }
  return PyTuple_Pack(2, list.get(), texts.get());
}

// The scan of a parsed document, the character names it meets asked of the interpreter.
query::ModelScan scanned_document(const cst::Document& doc, std::string_view text) {
  std::unordered_map<std::string, std::optional<char32_t>> known;
  query::ModelScan scan;
  for (int round = 0; round < 3; ++round) {
    NameRecorder names(known);
    scan = query::scan_model(doc, text, names.lookup());
    if (names.missed().empty()) break;
    const jinja::CharacterNames* interpreter = interpreter_character_names();
    for (const std::string& name : names.missed()) known.emplace(name, (*interpreter)(name));
  }
  return scan;
}

PyObject* scan_document(PyObject* args) {
  PyObject* doc_obj = nullptr;
  PyObject* text_obj = nullptr;
  PyObject* path_obj = nullptr;
  PyObject* model_type = nullptr;
  PyObject* ref_type = nullptr;
  if (!PyArg_ParseTuple(args, "O!UUOO:_scan_document", document_type(), &doc_obj, &text_obj, &path_obj, &model_type,
                        &ref_type)) {
    return nullptr;
  }
  RecordTypes records;
  if (!records.read(model_type, ref_type)) return nullptr;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text_obj, &size);
  if (data == nullptr) return nullptr;
  const std::string_view text(data, static_cast<std::size_t>(size));
  return records.model(scanned_document(as<PyDocument>(doc_obj)->doc->doc, text), path_obj);
}

// What scan_document finds, as scan_values() gives it.
PyObject* scan_record(PyObject* args) {
  PyObject* doc_obj = nullptr;
  PyObject* text_obj = nullptr;
  if (!PyArg_ParseTuple(args, "O!U:_scan_record", document_type(), &doc_obj, &text_obj)) return nullptr;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text_obj, &size);
  if (data == nullptr) return nullptr;
  const std::string_view text(data, static_cast<std::size_t>(size));
  return scan_values(scanned_document(as<PyDocument>(doc_obj)->doc->doc, text));
}

// Each entry's record: a (path, scan_values(), snapshot blocks or None)
// entry made into one, anything else (a record made already) as it is.
PyObject* records_of(PyObject* args) {
  PyObject* entries = nullptr;
  PyObject* model_type = nullptr;
  PyObject* ref_type = nullptr;
  if (!PyArg_ParseTuple(args, "O!OO:_records_of", &PyList_Type, &entries, &model_type, &ref_type)) return nullptr;
  RecordTypes records;
  if (!records.read(model_type, ref_type)) return nullptr;
  const Py_ssize_t count = PyList_Size(entries);
  return list_of(static_cast<std::size_t>(count), [&](std::size_t i) -> PyObject* {
    // Held while its record is made: a finalizer the collector runs meanwhile could change the list.
    PyRef entry = PyRef::borrow(PyList_GetItem(entries, static_cast<Py_ssize_t>(i)));
    if (!entry) return nullptr;  // the list shrank meanwhile
    if (!PyTuple_Check(entry.get())) return entry.release();
    if (PyTuple_Size(entry.get()) != 3) {
      PyErr_SetString(PyExc_TypeError, "an entry is (path, scanned values, snapshot blocks)");
      return nullptr;
    }
    PyObject* path = PyTuple_GetItem(entry.get(), 0);
    return records.model_of(path, PyTuple_GetItem(entry.get(), 1), PyTuple_GetItem(entry.get(), 2));
  });
}

PyObject* scan_model_files_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] { return scan_model_files(args, kwargs); });
}

PyObject* scan_document_entry(PyObject*, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&] { return scan_document(args); });
}

PyObject* scan_record_entry(PyObject*, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&] { return scan_record(args); });
}

PyObject* records_of_entry(PyObject*, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&] { return records_of(args); });
}

}  // namespace

PyMethodDef kPrivateFunctions[] = {
    {"_scan_model_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(scan_model_files_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "_scan_model_files(paths, jobs, model_type, ref_type)\n--\n\n(records, texts): for each path, its record "
     "as the project reads it, or None for a file to read the slow way; and the text of each file that may hold "
     "snapshot blocks, by its index."},
    {"_scan_document", scan_document_entry, METH_VARARGS,
     "_scan_document(doc, text, path, model_type, ref_type, /)\n--\n\nThe project's record of a parsed document."},
    {"_scan_record", scan_record_entry, METH_VARARGS,
     "_scan_record(doc, text, /)\n--\n\nWhat _scan_document makes a record of, as plain values: (refs, sources, "
     "config, line, column)."},
    {"_records_of", records_of_entry, METH_VARARGS,
     "_records_of(entries, model_type, ref_type, /)\n--\n\nThe record of each (path, _scan_record values, snapshot "
     "blocks or None) entry; any other entry as it is."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace trelm::python
