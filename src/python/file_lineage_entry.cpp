// _lineage_files(paths, jobs, shapes, keys): the lineage of each model file as
// far as the file alone says (query/file_lineage.hpp), as the caller's Python
// values. Files are read, parsed and resolved on the batch's own threads with
// the interpreter lock released, and each tree is freed there; the calling
// thread makes the Python values of each file as it is done, in order, while
// later files are still read. A file the batch cannot take (see
// _scan_model_files) comes back as None, for the caller's own way; one the
// file alone does not decide, as the reason.
#include <algorithm>
#include <functional>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
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

#include <structmember.h>

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

// --------------------------------------------------------- Python values

// A new instance of `type`, tuple or a subclass of it, of these owned
// references; none is lost when one is missing. An instance of a subclass
// is made by tuple's own constructor, called directly: through
// tuple.__new__ the call costs more than the rest of an origin. It is not
// allocated and filled here: a tuple made so would skip what the
// constructor sets beside its items (newer CPython keeps each tuple's hash
// in it, ready computed), and hash as 0 ever after.
PyObject* instance(PyTypeObject* type, std::initializer_list<PyObject*> values) {
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
  if (tuple == nullptr || type == &PyTuple_Type) return tuple;
  PyRef args = PyRef::steal(PyTuple_Pack(1, tuple));
  Py_DECREF(tuple);
  auto construct = reinterpret_cast<newfunc>(PyType_GetSlot(&PyTuple_Type, Py_tp_new));
  return args ? construct(type, args.get(), nullptr) : nullptr;
}

PyObject* pack(std::initializer_list<PyObject*> values) { return instance(&PyTuple_Type, values); }

// An immutable value made here that holds nothing a caller could change
// into a cycle (texts, numbers, other such values, the caller's shared
// items): the cyclic collector need never look at it, as CPython decides for
// its own tuples of such values. A project's lineage holds a hundred
// thousand of them, which each of the collector's full passes would walk.
PyObject* untracked(PyObject* value) {
  if (value != nullptr && PyObject_GC_IsTracked(value)) PyObject_GC_UnTrack(value);
  return value;
}

PyObject* optional_int(const std::optional<cst::LineColumn>& where, bool line) {
  if (!where) return Py_NewRef(Py_None);
  return PyLong_FromSize_t(line ? where->line : where->column);
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

// Pauses the cyclic collector while it lives, and leaves it as it found it
// however the scope ends (an allocation that fails throws through it).
class CollectorPaused {
 public:
  CollectorPaused() : was_enabled_(PyGC_Disable() != 0) {}
  ~CollectorPaused() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPaused(const CollectorPaused&) = delete;
  CollectorPaused& operator=(const CollectorPaused&) = delete;

 private:
  bool was_enabled_;
};

// What a batch found of a file beyond what a lineage one model deep reads,
// kept and made into values when first asked, by _lineage_kept(): its
// filters as the core found them (for Project.impact), its columns'
// origins as the batch resolved them (KeptColumns, for deeper lineage and
// impact). Most callers never ask, and they were most of a batch's values.
// An empty tuple for none.
using KeptFilters = std::vector<query::FilterUse>;
struct KeptColumns;

template <typename Kept>
constexpr const char* kept_name();
template <>
constexpr const char* kept_name<KeptFilters>() {
  return "trelm_cst._native.kept_filters";
}
template <>
constexpr const char* kept_name<KeptColumns>() {
  return "trelm_cst._native.kept_columns";
}

template <typename Kept>
void free_kept(PyObject* capsule) {
  delete static_cast<Kept*>(PyCapsule_GetPointer(capsule, kept_name<Kept>()));
}

template <typename Kept>
PyObject* kept(Kept&& values) {
  if (values.empty()) return PyTuple_New(0);
  auto held = std::make_unique<Kept>(std::move(values));
  PyObject* capsule = PyCapsule_New(held.get(), kept_name<Kept>(), free_kept<Kept>);
  if (capsule != nullptr) held.release();  // the capsule's now
  return capsule;
}

// What kept() kept in `given`; null with an error set when it is no such value.
template <typename Kept>
const Kept* kept_values(PyObject* given) {
  static const Kept none{};
  if (PyTuple_Check(given) && PyTuple_Size(given) == 0) return &none;
  return static_cast<const Kept*>(PyCapsule_GetPointer(given, kept_name<Kept>()));
}

// The file results the calling thread has made values of, freed by the
// reading threads between files: freed where they were taken, they were a
// tenth of the calling thread's work, which bounds the batch.
class SpentResults {
 public:
  void add(query::FileLineage&& spent) {
    const std::lock_guard lock(mutex_);
    spent_.push_back(std::move(spent));
  }

  // On a reading thread: frees those added so far.
  void free_added() noexcept {
    std::vector<query::FileLineage> taken;
    try {
      const std::lock_guard lock(mutex_);
      taken.swap(spent_);
    } catch (...) {
      // the lock failed: the calling thread frees them at the end
    }
  }

 private:
  std::mutex mutex_;
  std::vector<query::FileLineage> spent_;
};

// What the caller's values are made as: `origin` and `entry` tuple
// subclasses, `items` a dict of column kind to the item an entry holds,
// `from_star` what an entry of a `*` is read through, `step` the class of
// a column's step and `step_fields` its fields in order (kind, column,
// model, source, table, via, path, line, char, reason, clause, steps).
struct Shapes {
  PyRef origin;
  PyRef entry;
  PyRef items;
  PyRef from_star;
  PyRef step;
  PyRef step_fields;
  // Where each field of a step lives when its class lays them out in slots
  // (in the order of step_fields); empty when it keeps them in a dict.
  std::vector<PyMemberDef*> slots;
};

inline constexpr Py_ssize_t kStepFields = 12;
// Of a file's values
inline constexpr Py_ssize_t kFileEntries = 1;

// The batch's files by the key of their model.
using FilesByKey = std::unordered_map<std::string_view, std::size_t>;

// The file of each key; nullopt with an error set when a key is not a str.
std::optional<FilesByKey> files_by_key(PyObject* keys) {
  FilesByKey file_of;
  for (Py_ssize_t i = 0; i < PyTuple_Size(keys); ++i) {
    std::optional<std::string_view> key = utf8_of(PyTuple_GetItem(keys, i));
    if (!key) return std::nullopt;
    file_of.emplace(*key, static_cast<std::size_t>(i));
  }
  return file_of;
}

// Whether `type` is a class whose instances object.__new__ makes (a plain
// class, not one of a native base that lays out fields of its own): steps
// are made so, and their fields then set.
bool made_by_object_new(PyObject* type) {
  return PyType_Check(type) &&
         PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_new) ==
             PyType_GetSlot(&PyBaseObject_Type, Py_tp_new);
}

// Whether `names` is a tuple of `count` str (any count when negative).
bool field_names(PyObject* names, Py_ssize_t count = -1) {
  if (!PyTuple_Check(names) || (count >= 0 && PyTuple_Size(names) != count)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_Size(names); ++i) {
    if (!PyUnicode_Check(PyTuple_GetItem(names, i))) return false;
  }
  return true;
}

// Where each of these fields (names, a tuple of str) of instances of `type`
// lives: the class's own slot of that name, writable and of an object; empty
// when one is not such a slot (the class keeps its fields in a dict, or a
// base class lays one out).
std::vector<PyMemberDef*> slots_of(PyObject* type, PyObject* names) {
  auto* members = static_cast<PyMemberDef*>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_members));
  std::vector<PyMemberDef*> found;
  for (Py_ssize_t i = 0; members != nullptr && i < PyTuple_Size(names); ++i) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(PyTuple_GetItem(names, i), &size);
    if (data == nullptr) {
      PyErr_Clear();
      return {};
    }
    const std::string_view name(data, static_cast<std::size_t>(size));
    PyMemberDef* member = members;
    // A dataclass lays its slots out in the order of its fields: each is
    // found at once, checked in passing.
    for (Py_ssize_t j = 0; j < i && member->name != nullptr; ++j) ++member;
    if (member->name == nullptr || std::string_view(member->name) != name) member = members;
    while (member->name != nullptr && std::string_view(member->name) != name) ++member;
    if (member->name == nullptr || member->type != T_OBJECT_EX || (member->flags & READONLY) != 0) return {};
    found.push_back(member);
  }
  return found;
}

std::optional<Shapes> shapes_of(PyObject* given) {
  Shapes shapes{PyRef::steal(PyObject_GetAttrString(given, "origin")),
                PyRef::steal(PyObject_GetAttrString(given, "entry")),
                PyRef::steal(PyObject_GetAttrString(given, "items")),
                PyRef::steal(PyObject_GetAttrString(given, "from_star")),
                PyRef::steal(PyObject_GetAttrString(given, "step")),
                PyRef::steal(PyObject_GetAttrString(given, "step_fields")),
                {}};
  for (const PyRef* each : {&shapes.origin, &shapes.entry, &shapes.items, &shapes.from_star, &shapes.step,
                            &shapes.step_fields}) {
    if (!*each) return std::nullopt;
  }
  if (!made_by_object_new(shapes.step.get()) || !field_names(shapes.step_fields.get(), kStepFields)) {
    PyErr_SetString(PyExc_TypeError, "_lineage_files() shapes.step must be a plain class and shapes.step_fields its "
                                     "12 field names");
    return std::nullopt;
  }
  shapes.slots = slots_of(shapes.step.get(), shapes.step_fields.get());
  for (PyObject* type : {shapes.origin.get(), shapes.entry.get()}) {
    if (!PyType_Check(type) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type), &PyTuple_Type)) {
      PyErr_SetString(PyExc_TypeError, "_lineage_files() shapes.origin and shapes.entry must be tuple subclasses");
      return std::nullopt;
    }
  }
  if (!PyDict_Check(shapes.items.get())) {
    PyErr_SetString(PyExc_TypeError, "_lineage_files() shapes.items must be a dict");
    return std::nullopt;
  }
  return shapes;
}

// What a column's steps are made of besides their via and next steps.
struct ColumnFields {
  PyRef kind;
  PyRef name;
  PyRef line;
  PyRef character;
  PyObject* key = nullptr;   // borrowed: the batch's
  PyObject* path = nullptr;  // borrowed: the batch's
};

// An origin by its texts (each the one str of its text), as the batch
// dedupes it; `via` the one tuple of its CTEs, null for none.
struct OriginKey {
  PyObject* kind;
  PyObject* name;
  PyObject* source;
  PyObject* column;
  PyObject* via;
  PyObject* reason;  // null for none
  bool star;
  bool operator==(const OriginKey&) const = default;
};

std::size_t mixed(std::initializer_list<const void*> parts) {
  std::size_t hash = 0;
  for (const void* part : parts) {
    hash ^= std::hash<const void*>()(part) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
  }
  return hash;
}

struct OriginKeyHash {
  std::size_t operator()(const OriginKey& key) const noexcept {
    return mixed({key.kind, key.name, key.source, key.column, key.via, key.reason}) + (key.star ? 1 : 0);
  }
};

struct TextsHash {
  std::size_t operator()(const std::vector<PyObject*>& texts) const noexcept {
    std::size_t hash = texts.size();
    for (PyObject* text : texts) hash = hash * 31 + std::hash<const void*>()(text);
    return hash;
  }
};

// The texts a batch makes, each once, and its tuples of CTEs: held as long
// as the batch and any value it keeps for later (see KeptColumns).
struct Texts {
  std::unordered_map<std::string_view, PyRef> strings;  // viewed in each str's own UTF-8
  std::unordered_map<std::vector<PyObject*>, PyRef, TextsHash> vias;  // by the texts of the CTEs
};

// What a batch keeps of a file's first column of each name for later: its
// name in lower case, the fields of its steps and its origins, each once.
struct KeptColumn {
  PyRef lowered;
  ColumnFields fields;
  std::size_t first_origin;  // in KeptColumns::origins
  std::size_t origins;
};

// What a batch keeps of a file's columns (of model `key`, written in
// `path`) for later: the texts of their origins are the batch's.
struct KeptColumns {
  std::shared_ptr<const Texts> texts;
  PyRef key;
  PyRef path;
  std::vector<KeptColumn> columns;
  std::vector<OriginKey> origins;  // of every column, in turn: one list for the file
  bool empty() const { return columns.empty(); }
};

// The batch's Python values. A project repeats the same few kinds and
// column names thousands of times: each text is made once and shared, which
// also makes the caller's dict lookups of them compare pointers, and lets an
// origin be found again by the pointers of its texts.
class ValueMaker {
 public:
  explicit ValueMaker(const Shapes& shapes) : shapes_(shapes) {}

  // (has a query, entries, kept columns (see rest()), kept filters (see
  // filters()), every ref resolved, one model deep): entries a list, each
  // (name, item of its kind, from_star or None); one model deep the lineage
  // of the first column of each name, by the name in lower case, steps of
  // model `key` written in `path`: now where it reads no model's column,
  // else by link_models(). A ref's origin takes its model from `targets`
  // (ref name to an origin whose kind, name and reason say what the ref
  // reads; None when there are none); one it lacks stays of kind "ref", and
  // the file has nothing one model deep. The file is the batch's `index`-th.
  PyObject* file(query::FileLineage& found, std::size_t index, PyObject* targets, PyObject* key, PyObject* path) {
    if (!found.undecided.empty()) return str(found.undecided);
    use_targets(targets);
    unresolved_refs_ = false;
    const std::size_t count = found.columns.size();
    PyRef entries = PyRef::steal(list_of(count, [&](std::size_t i) { return entry(found.columns[i]); }));
    PyRef shallow = PyRef::steal(PyDict_New());
    if (!entries || !shallow) return nullptr;
    FirstColumns& first = first_columns_[index];
    first.clear();
    std::vector<Deep> deep;
    KeptColumns later{texts_, PyRef::borrow(key), PyRef::borrow(path), {}, {}};
    later.columns.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      PyObject* made = PyList_GetItem(entries.get(), static_cast<Py_ssize_t>(i));  // borrowed
      const Column column{found.columns[i], PyTuple_GetItem(made, 0), key, path};
      if (!add_one_model_deep(column, first, shallow.get(), deep, later)) return nullptr;
    }
    if (!note_unresolved_refs(found.filters)) return nullptr;
    PyRef filters = PyRef::steal(kept(std::move(found.filters)));
    PyRef columns = PyRef::steal(filters ? kept(std::move(later)) : nullptr);
    if (!columns) return nullptr;
    if (!unresolved_refs_) {
      for (Deep& each : deep) deep_.push_back(std::move(each));
    }
    // Holds texts and steps made here only: see untracked(). Any other value
    // set in it later tracks it again.
    PyObject* one_deep = unresolved_refs_ ? Py_NewRef(Py_None) : untracked(shallow.release());
    return pack({PyBool_FromLong(found.has_query ? 1 : 0), entries.release(), columns.release(), filters.release(),
                 PyBool_FromLong(unresolved_refs_ ? 0 : 1), one_deep});
  }

  // (origins, steps, next steps, trees) of the columns a batch kept for a
  // file: origins the origins of the first column of each name, steps its
  // step, next steps those origins with each that is no model's column made
  // a step, trees, where none is a model's column, the step with those next
  // steps, by the name in lower case.
  PyObject* rest(const KeptColumns& kept) {
    Rest rest{PyRef::steal(PyDict_New()), PyRef::steal(PyDict_New()), PyRef::steal(PyDict_New()),
              PyRef::steal(PyDict_New())};
    if (!rest.origins || !rest.steps || !rest.next || !rest.trees) return nullptr;
    for (const KeptColumn& column : kept.columns) {
      const auto first = kept.origins.begin() + static_cast<std::ptrdiff_t>(column.first_origin);
      keys_.assign(first, first + static_cast<std::ptrdiff_t>(column.origins));
      if (!add_rest(column, rest)) return nullptr;
    }
    for (const PyRef* each : {&rest.origins, &rest.steps, &rest.next, &rest.trees}) untracked(each->get());
    return pack({rest.origins.release(), rest.steps.release(), rest.next.release(), rest.trees.release()});
  }

  // The values of a file's filters kept by file(), each (text, clause,
  // line, column, origins), a ref's origin of `targets` as the batch makes it.
  PyObject* filters(const std::vector<query::FilterUse>& kept, PyObject* targets) {
    use_targets(targets);
    return tuple_of(kept.size(), [&](std::size_t i) { return filter(kept[i]); });
  }

  // Once every file of the batch is made (`made`, one value per file, the
  // file of each model in `file_of`): the lineage one model deep of each
  // column that reads other models' columns, its step with its next steps,
  // each model's column as that model's own step (through the CTEs passed),
  // where the batch made the steps of all of them.
  bool link_models(PyObject* made, PyObject* paths, const FilesByKey& file_of) {
    paths_ = paths;
    for (const Deep& each : deep_) {
      PyRef tree = PyRef::steal(one_model_deep(each, made, file_of));
      if (!tree && PyErr_Occurred()) return false;
      if (tree && PyDict_SetItem(each.into.get(), each.name.get(), tree.get()) != 0) return false;
    }
    for (const Deep& each : deep_) untracked(each.into.get());  // as the rest of a file's dict
    return true;
  }

 private:
  // An output column of a file, with the str of its name as written, of model `key` written in `path`.
  struct Column {
    const query::OutputColumn& found;
    PyObject* written;  // borrowed
    PyObject* key;      // borrowed, as path
    PyObject* path;
  };

  // The first column of a name in a file: its fields, and its step without
  // next steps once one is made.
  struct FirstColumn {
    ColumnFields fields;
    PyRef step;
  };
  // By the name in lower case (its UTF-8).
  using FirstColumns = std::pmr::unordered_map<std::pmr::string, FirstColumn>;

  // A next step of a column: the step of an origin that is no model's
  // column; a model's column's is made by link_models() (null here).
  struct Next {
    OriginKey origin;
    PyRef step;
  };

  // A column whose next steps include a model's column: made one model deep
  // by link_models(), into its file's dict.
  struct Deep {
    PyRef into;
    PyRef name;  // in lower case
    const FirstColumn* column = nullptr;  // kept in first_columns_ for the batch
    std::pmr::vector<Next> next;
  };

  // What rest() makes, by the name in lower case.
  struct Rest {
    PyRef origins;  // of its first column, each once
    PyRef steps;    // its step, without next steps
    PyRef next;     // its origins, those that are no model's column as steps
    PyRef trees;    // where no origin is a model's column: its step with those next steps
  };

  // What a ref reads, from a target: its texts as the batch keeps them.
  struct TargetTexts {
    PyObject* kind;
    PyObject* name;
    PyObject* reason;  // null for none
    PyRef target;  // held: its address is the key it is found by
  };

  // The value made for `key` before, else `make()`'s, kept for the next time.
  template <typename Made, typename Key, typename Make>
  static PyObject* remembered(Made& made, const Key& key, Make&& make) {
    auto known = made.find(key);
    if (known != made.end()) return Py_NewRef(known->second.get());
    PyObject* value = make();
    if (value != nullptr) made.emplace(key, PyRef::borrow(value));
    return value;
  }

  // The one str of this text, borrowed: kept as long as the batch.
  PyObject* text(std::string_view written) {
    auto known = texts_->strings.find(written);
    if (known != texts_->strings.end()) return known->second.get();
    PyRef made = PyRef::steal(to_py_str(written));
    if (!made) return nullptr;
    // Keyed by the str's own UTF-8, which lives as long as the str.
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(made.get(), &size);
    if (data == nullptr) return nullptr;
    PyObject* kept = made.get();
    texts_->strings.emplace(std::string_view(data, static_cast<std::size_t>(size)), std::move(made));
    return kept;
  }

  // text() of a kind (of a column or an origin): a handful of texts, each
  // read tens of thousands of times, found by comparing them in turn.
  PyObject* kind_text(std::string_view kind) {
    for (const auto& [written, made] : kinds_) {
      if (written == kind) return made;
    }
    PyObject* made = text(kind);
    if (made != nullptr && kinds_.size() < kKinds) kinds_.emplace_back(kind, made);
    return made;
  }

  PyObject* str(std::string_view written) {
    PyObject* found = text(written);
    return found == nullptr ? nullptr : Py_NewRef(found);
  }

  PyObject* optional(const std::optional<std::string>& written) {
    return written ? str(*written) : Py_NewRef(Py_None);
  }

  // The one tuple of these CTEs; null for none, or with an error set.
  bool via_of(const std::vector<std::string>& via, PyObject*& tuple) {
    tuple = nullptr;
    if (via.empty()) return true;
    via_texts_.clear();
    for (const std::string& step : via) {
      PyObject* each = text(step);
      if (each == nullptr) return false;
      via_texts_.push_back(each);
    }
    auto known = texts_->vias.find(via_texts_);
    if (known == texts_->vias.end()) {
      PyRef made = PyRef::steal(untracked(tuple_of(via_texts_.size(), [&](std::size_t i) {
        return Py_NewRef(via_texts_[i]);
      })));
      if (!made) return false;
      known = texts_->vias.emplace(via_texts_, std::move(made)).first;
    }
    tuple = known->second.get();
    return true;
  }

  // The texts of an origin (a ref's of the model it reads, from the
  // targets; one the targets lack stays of kind "ref", noted); false with an
  // error set.
  bool origin_key(const query::LineageOrigin& written, OriginKey& key) {
    // Only a source's has a source name: the empty one is not looked up each time.
    if (empty_text_ == nullptr) empty_text_ = text("");
    PyObject* source = written.source_name.empty() ? empty_text_ : text(written.source_name);
    key = OriginKey{nullptr, nullptr, source, text(written.column), nullptr, nullptr, written.star};
    if (key.source == nullptr || key.column == nullptr || !via_of(written.via, key.via)) return false;
    const TargetTexts* target = written.kind == "ref" ? file_target_of(written) : nullptr;
    if (target != nullptr) {
      key.kind = target->kind;
      key.name = target->name;
      key.reason = target->reason;
      return true;
    }
    if (PyErr_Occurred()) return false;
    if (written.kind == "ref") unresolved_refs_ = true;
    key.kind = kind_text(written.kind);
    key.name = text(written.name);
    key.reason = written.reason ? text(*written.reason) : nullptr;
    return key.kind != nullptr && key.name != nullptr && (!written.reason || key.reason != nullptr);
  }

  // The origins of these, each once: refs to one model by two names
  // resolve alike. In keys_; false with an error set.
  bool unique_origins(const std::vector<query::LineageOrigin>& found) {
    keys_.clear();
    // A few are compared with each other; many (a column of a thousand
    // references) through a table, or they would be compared in pairs.
    const bool many = found.size() > kFewOrigins;
    if (many) seen_keys_.clear();
    for (const query::LineageOrigin& each : found) {
      OriginKey key{};
      if (!origin_key(each, key)) return false;
      const bool first = many ? seen_keys_.insert(key).second
                              : std::find(keys_.begin(), keys_.end(), key) == keys_.end();
      if (first) keys_.push_back(key);
    }
    return true;
  }

  // (kind, name, column, via, star, reason): name a (source, table) for a
  // source, None for ambiguous and unresolved; kind "ref" for a ref, whose
  // model the caller finds. Many columns of a project read the same
  // upstream column: one object for each origin keeps the caller's caches
  // and the collector's passes small.
  PyObject* origin(const OriginKey& key) {
    return remembered(origins_, key, [&] { return make_origin(key); });
  }

  PyObject* make_origin(const OriginKey& key) {
    const auto is = [&key](const char* kind) { return PyUnicode_CompareWithASCIIString(key.kind, kind) == 0; };
    PyObject* name = nullptr;
    if (is("source")) {
      name = untracked(pack({Py_NewRef(key.source), Py_NewRef(key.name)}));
    } else if (is("ambiguous") || is("unresolved")) {
      name = Py_NewRef(Py_None);
    } else {
      name = Py_NewRef(key.name);
    }
    return untracked(instance(origin_type(), {Py_NewRef(key.kind), name, Py_NewRef(key.column), via(key),
                                              PyBool_FromLong(key.star ? 1 : 0),
                                              Py_NewRef(key.reason != nullptr ? key.reason : Py_None)}));
  }

  static PyObject* via(const OriginKey& key) { return key.via != nullptr ? Py_NewRef(key.via) : PyTuple_New(0); }

  PyTypeObject* origin_type() const { return reinterpret_cast<PyTypeObject*>(shapes_.origin.get()); }

  // The targets of the file at hand, and what each ref name of it read before.
  void use_targets(PyObject* targets) {
    targets_ = targets;
    file_targets_.clear();
  }

  // target_of(), once for each ref name of the file at hand: a ref is read
  // by many of its columns.
  const TargetTexts* file_target_of(const query::LineageOrigin& ref) {
    for (const auto& [name, target] : file_targets_) {
      if (name == ref.name) return target;
    }
    const TargetTexts* target = target_of(ref);
    if (!PyErr_Occurred()) file_targets_.emplace_back(ref.name, target);
    return target;
  }

  // What a ref's origin reads, from the file's targets: null when the
  // file's targets lack the ref's name, or with an error set when a target
  // is not an origin of texts.
  const TargetTexts* target_of(const query::LineageOrigin& ref) {
    if (targets_ == nullptr || targets_ == Py_None) return nullptr;
    PyObject* name = text(ref.name);
    if (name == nullptr) return nullptr;
    PyObject* target = PyDict_GetItemWithError(targets_, name);  // borrowed
    if (target == nullptr) return nullptr;
    auto known = target_texts_.find(target);
    if (known != target_texts_.end()) return &known->second;
    if (!PyTuple_Check(target) || PyTuple_Size(target) < 6) {
      PyErr_SetString(PyExc_TypeError, "_lineage_files() targets must be origins");
      return nullptr;
    }
    PyObject* kind = PyTuple_GetItem(target, 0);
    if (kind == Py_None) {
      PyErr_SetString(PyExc_TypeError, "_lineage_files() a target's kind must be a str");
      return nullptr;
    }
    TargetTexts texts{same_text(kind), same_text(PyTuple_GetItem(target, 1), ""), nullptr, PyRef::borrow(target)};
    PyObject* reason = PyTuple_GetItem(target, 5);
    if (reason != Py_None) texts.reason = same_text(reason);
    if (texts.kind == nullptr || texts.name == nullptr || (reason != Py_None && texts.reason == nullptr)) {
      return nullptr;
    }
    return &target_texts_.emplace(target, std::move(texts)).first->second;
  }

  // The batch's str of a str's text (`otherwise`'s for None); null with an error set for anything else.
  PyObject* same_text(PyObject* given, std::optional<std::string_view> otherwise = std::nullopt) {
    if (given == Py_None && otherwise) return text(*otherwise);
    std::optional<std::string_view> written = utf8_of(given);
    return written ? text(*written) : nullptr;
  }

  // The origins of keys_ as a tuple.
  PyObject* origins_of_keys() {
    return untracked(tuple_of(keys_.size(), [&](std::size_t i) { return origin(keys_[i]); }));
  }

  PyObject* entry(const query::OutputColumn& column) {
    PyObject* kind = kind_text(column.kind);
    if (kind == nullptr) return nullptr;
    PyObject* item = PyDict_GetItemWithError(shapes_.items.get(), kind);  // borrowed
    if (item == nullptr) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_KeyError, "no item for column kind %s", column.kind.c_str());
      return nullptr;
    }
    PyObject* through = column.from_star ? shapes_.from_star.get() : Py_None;
    return untracked(instance(reinterpret_cast<PyTypeObject*>(shapes_.entry.get()),
                              {optional(column.name), Py_NewRef(item), Py_NewRef(through)}));
  }

  // The fields of a named column's steps; false with an error set.
  bool fields_of(const Column& column, ColumnFields& fields) {
    const std::optional<cst::LineColumn>& where = column.found.where;
    PyObject* kind = kind_text(column.found.kind);
    fields = ColumnFields{PyRef::steal(kind != nullptr ? Py_NewRef(kind) : nullptr), PyRef::borrow(column.written),
                          PyRef::steal(optional_int(where, true)), PyRef::steal(optional_int(where, false)),
                          column.key, column.path};
    return fields.kind && fields.name && fields.line && fields.character;
  }

  // Records a named column's lineage one model deep unless a column of the
  // same name (ignoring case) came before it: into `shallow` where none of
  // its origins is a model's column, else into `deep` for link_models().
  bool add_one_model_deep(const Column& column, FirstColumns& first, PyObject* shallow, std::vector<Deep>& deep,
                          KeptColumns& later) {
    if (!column.found.name) return true;
    PyRef name = PyRef::steal(lower_key(*column.found.name, column.written));
    std::optional<std::string_view> lowered = name ? utf8_of(name.get()) : std::nullopt;
    if (!lowered) return false;
    auto [known, added] = first.try_emplace(std::pmr::string(*lowered, &arena_));
    if (!added) return true;
    if (!fields_of(column, known->second.fields) || !unique_origins(column.found.origins)) return false;
    later.columns.push_back(
        KeptColumn{PyRef::borrow(name.get()), copy(known->second.fields), later.origins.size(), keys_.size()});
    later.origins.insert(later.origins.end(), keys_.begin(), keys_.end());
    Deep made{PyRef::borrow(shallow), std::move(name), &known->second, std::pmr::vector<Next>(&arena_)};
    bool reads_models = false;
    for (const OriginKey& origin : keys_) {
      const bool model = is_model(origin.kind);
      reads_models = reads_models || model;
      PyRef step = PyRef::steal(model ? nullptr : leaf(origin));
      if (!model && !step) return false;
      made.next.push_back(Next{origin, std::move(step)});
    }
    if (reads_models) {
      deep.push_back(std::move(made));
      return true;
    }
    // Its lineage at any depth: nothing below a step of no model's column.
    PyRef tree = PyRef::steal(made.next.empty() ? bare_step(known->second) : with_next(made));
    return tree && PyDict_SetItem(shallow, made.name.get(), tree.get()) == 0;
  }

  // The column's step without next steps, made once.
  PyObject* bare_step(FirstColumn& column) {
    if (!column.step) column.step = PyRef::steal(column_step(column.fields, PyTuple_New(0)));
    return column.step ? Py_NewRef(column.step.get()) : nullptr;
  }

  // The column's step with its next steps, each made.
  PyObject* with_next(const Deep& column) {
    PyObject* steps = untracked(tuple_of(column.next.size(), [&](std::size_t i) {
      return Py_NewRef(column.next[i].step.get());
    }));
    return steps != nullptr ? column_step(column.column->fields, steps) : nullptr;
  }

  // Records what rest() makes of a kept column, whose origins are keys_.
  bool add_rest(const KeptColumn& column, Rest& rest) {
    FirstColumn first{copy(column.fields), PyRef()};
    PyObject* name = column.lowered.get();
    PyRef origins = PyRef::steal(origins_of_keys());
    PyRef step = PyRef::steal(origins ? bare_step(first) : nullptr);
    PyRef next = PyRef::steal(step ? next_steps(origins.get()) : nullptr);
    if (!next || PyDict_SetItem(rest.origins.get(), name, origins.get()) != 0 ||
        PyDict_SetItem(rest.steps.get(), name, step.get()) != 0 ||
        PyDict_SetItem(rest.next.get(), name, next.get()) != 0) {
      return false;
    }
    if (!all_steps(next.get())) return true;
    // Its lineage at any depth: nothing below a step of no model's column.
    PyRef tree = PyTuple_Size(next.get()) == 0 ? std::move(step)
                                               : PyRef::steal(column_step(first.fields, Py_NewRef(next.get())));
    return tree && PyDict_SetItem(rest.trees.get(), name, tree.get()) == 0;
  }

  static ColumnFields copy(const ColumnFields& fields) {
    return ColumnFields{PyRef::borrow(fields.kind.get()), PyRef::borrow(fields.name.get()),
                        PyRef::borrow(fields.line.get()), PyRef::borrow(fields.character.get()), fields.key,
                        fields.path};
  }

  // The column's step as the caller's class makes it, with these next steps
  // (owned) and CTEs passed (owned; none when null).
  PyObject* column_step(const ColumnFields& fields, PyObject* steps, PyObject* via = nullptr) {
    return step({Py_NewRef(fields.kind.get()), Py_NewRef(fields.name.get()), Py_NewRef(fields.key),
                 Py_NewRef(Py_None), Py_NewRef(Py_None), via != nullptr ? via : PyTuple_New(0),
                 Py_NewRef(fields.path), Py_NewRef(fields.line.get()), Py_NewRef(fields.character.get()),
                 Py_NewRef(Py_None), Py_NewRef(Py_None), steps});
  }

  // Whether every one of these next steps is made: none is a model's column.
  bool all_steps(PyObject* next) const {
    for (Py_ssize_t i = 0; i < PyTuple_Size(next); ++i) {
      if (!is_step(PyTuple_GetItem(next, i))) return false;
    }
    return true;
  }

  // The origins of keys_ (`origins`) with each that is no model's column as
  // its step (one step for each origin of the batch): the origins
  // themselves when each is a model's column.
  PyObject* next_steps(PyObject* origins) {
    const bool models_only =
        std::all_of(keys_.begin(), keys_.end(), [](const OriginKey& key) { return is_model(key.kind); });
    if (models_only) return Py_NewRef(origins);
    return untracked(tuple_of(keys_.size(), [&](std::size_t i) -> PyObject* {
      if (is_model(keys_[i].kind)) return Py_NewRef(PyTuple_GetItem(origins, static_cast<Py_ssize_t>(i)));
      return leaf(keys_[i]);
    }));
  }

  // The name in lower case as str.lower() gives it (the file's names are
  // ASCII); `written` the name's str.
  PyObject* lower_key(std::string_view name, PyObject* written) {
    bool lowered_already = true;
    for (char c : name) {
      if (static_cast<unsigned char>(c) >= 0x80) return PyObject_CallMethod(written, "lower", nullptr);
      lowered_already = lowered_already && !(c >= 'A' && c <= 'Z');
    }
    if (lowered_already) return Py_NewRef(written);
    std::string lowered(name);
    for (char& c : lowered) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return str(lowered);
  }

  // Whether the file's refs read in filters alone are found in its targets,
  // as for those its columns read (unresolved_refs_ noted); false with an
  // error set.
  bool note_unresolved_refs(const std::vector<query::FilterUse>& filters) {
    for (const query::FilterUse& use : filters) {
      for (const query::LineageOrigin& origin : use.origins) {
        if (origin.kind != "ref" || unresolved_refs_) continue;
        unresolved_refs_ = file_target_of(origin) == nullptr;
        if (PyErr_Occurred()) return false;
      }
    }
    return true;
  }

  // (text, clause, line, column, origins)
  PyObject* filter(const query::FilterUse& use) {
    PyObject* origins = unique_origins(use.origins) ? origins_of_keys() : nullptr;
    return untracked(pack({str(use.text), str(use.clause), optional_int(use.where, true),
                           optional_int(use.where, false), origins}));
  }

  // The step of an origin that is no model's column (one for each origin):
  // a source's, a table's, a seed's... or one that cannot be resolved, with
  // the reason.
  PyObject* leaf(const OriginKey& origin) {
    return remembered(leaves_, origin, [&]() -> PyObject* {
      const auto is = [&origin](const char* kind) { return PyUnicode_CompareWithASCIIString(origin.kind, kind) == 0; };
      const bool source = is("source");
      const bool table = is("table") || is("function") || is("values");
      const bool node = is("seed") || is("snapshot") || is("missing");
      const bool through_star = origin.star && (source || table);
      const auto when = [](bool holds, PyObject* value) { return Py_NewRef(holds ? value : Py_None); };
      PyObject* reason = origin.reason != nullptr ? origin.reason : Py_None;
      return step({through_star ? str("star") : Py_NewRef(origin.kind), Py_NewRef(origin.column),
                   when(node, origin.name),
                   source ? untracked(pack({Py_NewRef(origin.source), Py_NewRef(origin.name)})) : Py_NewRef(Py_None),
                   when(table, origin.name), via(origin), Py_NewRef(Py_None), Py_NewRef(Py_None), Py_NewRef(Py_None),
                   when(!source && !table && !node, reason), Py_NewRef(Py_None), PyTuple_New(0)});
    });
  }

  // The column's step with its next steps, each model's column its own
  // step; null without an error when one is not a step the batch made.
  PyObject* one_model_deep(const Deep& column, PyObject* made, const FilesByKey& file_of) {
    std::vector<PyRef> children;
    for (const Next& each : column.next) {
      PyRef child = each.step ? PyRef::borrow(each.step.get()) : PyRef::steal(model_column(each.origin, made, file_of));
      if (!child) return nullptr;
      children.push_back(std::move(child));
    }
    PyObject* steps = untracked(tuple_of(children.size(), [&](std::size_t i) { return Py_NewRef(children[i].get()); }));
    return steps != nullptr ? column_step(column.column->fields, steps) : nullptr;
  }

  // A model's column (an origin) as that model's step, reached through the
  // origin's CTEs; null without an error when the batch made no such step.
  PyObject* model_column(const OriginKey& origin, PyObject* made, const FilesByKey& file_of) {
    return remembered(model_columns_, origin, [&]() -> PyObject* {
      std::optional<std::string_view> model = utf8_of(origin.name);
      std::optional<std::string_view> written = model ? utf8_of(origin.column) : std::nullopt;
      if (!written) {
        PyErr_Clear();
        return nullptr;
      }
      auto file = file_of.find(*model);
      PyObject* read = file == file_of.end() ? nullptr : PyList_GetItem(made, static_cast<Py_ssize_t>(file->second));
      auto columns = file == file_of.end() ? first_columns_.end() : first_columns_.find(file->second);
      if (read == nullptr || !PyTuple_Check(read) || columns == first_columns_.end()) return nullptr;
      PyRef lowered = PyRef::steal(lower_key(*written, origin.column));
      std::optional<std::string_view> name = lowered ? utf8_of(lowered.get()) : std::nullopt;
      if (!name) return nullptr;
      auto found = columns->second.find(std::pmr::string(*name, &arena_));
      if (found == columns->second.end()) {
        return unnamed_column(origin, read, PyTuple_GetItem(paths_, static_cast<Py_ssize_t>(file->second)));
      }
      return origin.via == nullptr ? bare_step(found->second)
                                   : column_step(found->second.fields, PyTuple_New(0), Py_NewRef(origin.via));
    });
  }

  // Whether the file (`read`) has an unnamed entry of a `*`, and one made
  // by Jinja; found once for each file, however many columns it lacks.
  std::pair<bool, bool> unnamed_entries(PyObject* read) {
    auto known = unnamed_entries_.find(read);
    if (known != unnamed_entries_.end()) return known->second;
    PyObject* templated = PyDict_GetItemString(shapes_.items.get(), "templated");  // borrowed, as the rest
    std::pair<bool, bool> found{false, false};
    PyObject* entries = PyTuple_GetItem(read, kFileEntries);
    for (Py_ssize_t i = 0; i < PyList_Size(entries); ++i) {
      PyObject* entry = PyList_GetItem(entries, i);
      if (PyTuple_GetItem(entry, 0) != Py_None) continue;
      found.first = found.first || PyTuple_GetItem(entry, 2) != Py_None;
      found.second = found.second || PyTuple_GetItem(entry, 1) == templated;
    }
    unnamed_entries_.emplace(read, found);
    return found;
  }

  // The step of a column its model's file does not name (`read`, written in
  // `path`): a star's when the model has a `*` over unknown columns, or the
  // column is reached through one; templated when Jinja there makes
  // columns; else unresolved.
  PyObject* unnamed_column(const OriginKey& origin, PyObject* read, PyObject* path) {
    const auto [star, made_by_jinja] = unnamed_entries(read);
    PyObject* kind = nullptr;
    PyObject* reason = nullptr;
    if (star || (origin.star && !made_by_jinja)) {
      kind = str("star");
      reason = Py_NewRef(Py_None);
    } else if (made_by_jinja) {
      kind = str("templated");
      reason = str("not named in the file; Jinja there may make it");
    } else {
      kind = str("unresolved");
      PyRef written = PyRef::steal(PyObject_Repr(origin.column));
      reason = written ? PyUnicode_FromFormat("no column %U in %U", written.get(), origin.name) : nullptr;
    }
    return step({kind, Py_NewRef(origin.column), Py_NewRef(origin.name), Py_NewRef(Py_None), Py_NewRef(Py_None),
                 via(origin), Py_NewRef(path), Py_NewRef(Py_None), Py_NewRef(Py_None), reason, Py_NewRef(Py_None),
                 PyTuple_New(0)});
  }

  static bool is_model(PyObject* kind) { return PyUnicode_CompareWithASCIIString(kind, "model") == 0; }

  bool is_step(PyObject* value) const {
    return Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(shapes_.step.get());
  }

  // A step of these field values (owned references, in the order of the
  // caller's fields), each set as the class's own instances hold them.
  PyObject* step(std::initializer_list<PyObject*> values) {
    auto* type = reinterpret_cast<PyTypeObject*>(shapes_.step.get());
    // Made by object.__new__, as the class's own instances are: it readies
    // the instance's attribute storage that the fields then fill in place
    // (a bare allocation makes each instance a dict of its own on the first field).
    auto construct = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    PyRef made = PyRef::steal(empty_ ? construct(type, empty_.get(), nullptr) : PyErr_NoMemory());
    std::size_t i = 0;
    bool complete = made.get() != nullptr;
    for (PyObject* value : values) {
      complete = complete && value != nullptr && set_field(made.get(), i++, value);
      Py_XDECREF(value);
    }
    // Its fields are texts, numbers, None and tuples of such values and of
    // steps made before it, and the class is frozen: left out of the
    // collector's passes like the rest of the batch's values.
    return complete ? untracked(made.release()) : nullptr;
  }

  // Sets a step's field (the i-th, not stolen) as object.__setattr__ would:
  // the class itself refuses, being frozen. In its slot where it has one (a
  // store, not a lookup of the name), else in its dict.
  bool set_field(PyObject* step, std::size_t i, PyObject* value) const {
    if (!shapes_.slots.empty()) return PyMember_SetOne(reinterpret_cast<char*>(step), shapes_.slots[i], value) == 0;
    return PyObject_GenericSetAttr(step, PyTuple_GetItem(shapes_.step_fields.get(), static_cast<Py_ssize_t>(i)),
                                   value) == 0;
  }

  const Shapes& shapes_;
  const PyRef empty_ = PyRef::steal(PyTuple_New(0));  // no arguments
  PyObject* targets_ = nullptr;  // borrowed: the current file's
  // Of the file at hand: each ref name read (viewing its result) and what it reads, if found.
  std::vector<std::pair<std::string_view, const TargetTexts*>> file_targets_;
  bool unresolved_refs_ = false;  // whether a ref of the current file kept kind "ref"
  std::shared_ptr<Texts> texts_ = std::make_shared<Texts>();
  std::vector<PyObject*> via_texts_;  // of the origin at hand: one buffer for every lookup
  PyObject* empty_text_ = nullptr;  // borrowed from texts_
  std::vector<OriginKey> keys_;  // of the column at hand: one buffer for every column
  static constexpr std::size_t kFewOrigins = 16;
  std::unordered_set<OriginKey, OriginKeyHash> seen_keys_;  // of the column at hand, when it has many
  static constexpr std::size_t kKinds = 24;  // more than there are
  std::vector<std::pair<std::string, PyObject*>> kinds_;  // each kind's text, borrowed from texts_
  // The batch's own tables below take their memory from here, and give it
  // back all at once: tens of thousands of nodes, each freed alone, were a
  // tenth of the calling thread's work.
  std::pmr::monotonic_buffer_resource arena_;
  std::unordered_map<PyObject*, TargetTexts> target_texts_;  // by target
  std::pmr::unordered_map<OriginKey, PyRef, OriginKeyHash> origins_{&arena_};
  std::pmr::unordered_map<OriginKey, PyRef, OriginKeyHash> leaves_{&arena_};
  std::pmr::unordered_map<OriginKey, PyRef, OriginKeyHash> model_columns_{&arena_};
  std::pmr::unordered_map<std::size_t, FirstColumns> first_columns_{&arena_};  // by file of the batch
  std::pmr::vector<Deep> deep_{&arena_};  // of every file, in order
  PyObject* paths_ = nullptr;  // borrowed: the batch's, in link_models()
  std::unordered_map<PyObject*, std::pair<bool, bool>> unnamed_entries_;  // by a file's values
};

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


// A tuple of one value per path from `given` (a sequence), each as `valid`
// says (`each` in words); an empty reference, with an error set, when it is not.
template <typename Valid>
PyRef per_path(PyObject* given, Py_ssize_t count, const char* what, const char* each, Valid&& valid) {
  PyRef values = PyRef::steal(PySequence_Tuple(given));
  if (!values) return values;
  if (PyTuple_Size(values.get()) != count) {
    PyErr_Format(PyExc_ValueError, "_lineage_files() needs as many %s as paths", what);
    return PyRef();
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!valid(PyTuple_GetItem(values.get(), i))) {
      PyErr_Format(PyExc_TypeError, "_lineage_files() %s must each be %s", what, each);
      return PyRef();
    }
  }
  return values;
}

bool dict_or_none(PyObject* value) { return value == Py_None || PyDict_Check(value); }

// Files of the batch that wait for the columns of their refs' models, and
// what the batch knows of each file's output columns, so that it reads
// them again in waves, each file once every model it reads is decided (as
// the caller would, without a round trip per wave). A file that reads
// itself, reads a model outside the batch or one the batch cannot decide
// stays undecided, for the caller.
class WaitingFiles {
 public:
  explicit WaitingFiles(std::size_t files) : state_(files, State::Other), columns_(files) {}

  // Records a file as read: decided, with its columns, or waiting (none: left to the caller).
  void note(std::size_t file, const std::optional<query::FileLineage>& found) {
    if (!found) {
      state_[file] = State::Other;
    } else if (found->undecided == query::kNeedsRefColumns) {
      state_[file] = State::Waiting;
    } else if (found->undecided.empty()) {
      state_[file] = State::Decided;
      columns_[file] = names_of(*found);
    } else {
      state_[file] = State::Other;
    }
  }

  // Finds the file of each model that a waiting file's refs read (its
  // `targets`: ref name to an origin); false with an error set when a
  // target is not an origin.
  bool find_models(const FilesByKey& file_of, PyObject* targets) {
    for (std::size_t file = 0; file < state_.size(); ++file) {
      if (state_[file] != State::Waiting) continue;
      std::optional<Refs> reads = models_read(PyTuple_GetItem(targets, static_cast<Py_ssize_t>(file)), file_of);
      if (PyErr_Occurred()) return false;
      if (reads) waiting_.push_back(Waiting{file, std::move(*reads)});
    }
    return true;
  }

  // The waiting files whose refs' models are all decided, taken off the list.
  std::vector<std::size_t> ready() {
    std::vector<std::size_t> found;
    std::erase_if(waiting_, [&](Waiting& each) {
      const bool decided = std::all_of(each.refs.begin(), each.refs.end(), [&](const auto& ref) {
        return !ref.second || state_[*ref.second] == State::Decided;
      });
      if (decided) {
        found.push_back(each.file);
        ready_refs_.emplace(each.file, std::move(each.refs));
      }
      return decided;
    });
    return found;
  }

  // The columns of each ready file's refs' models, by the name called.
  std::vector<query::RefColumns> ref_columns(const std::vector<std::size_t>& files) {
    std::vector<query::RefColumns> found(files.size());
    for (std::size_t j = 0; j < files.size(); ++j) {
      for (auto& [name, model] : ready_refs_.at(files[j])) {
        found[j].emplace(name, model ? columns_[*model] : std::nullopt);
      }
      ready_refs_.erase(files[j]);
    }
    return found;
  }

 private:
  enum class State { Other, Decided, Waiting };
  // Ref name to the file of the model it reads; none for a ref that reads no model.
  using Refs = std::vector<std::pair<std::string, std::optional<std::size_t>>>;
  struct Waiting {
    std::size_t file;
    Refs refs;
  };

  // The names of the file's output columns; none when it holds no query or
  // a column has no name, as the caller's own columns of a model are.
  static std::optional<std::vector<std::string>> names_of(const query::FileLineage& found) {
    if (!found.has_query) return std::nullopt;
    std::vector<std::string> names;
    names.reserve(found.columns.size());
    for (const query::OutputColumn& column : found.columns) {
      if (!column.name) return std::nullopt;
      names.push_back(*column.name);
    }
    return names;
  }

  // What each of a file's refs reads; none when a model is not in the batch
  // (or the file has no targets): its columns are the caller's to find.
  static std::optional<Refs> models_read(PyObject* targets, const FilesByKey& file_of) {
    if (targets == Py_None) return std::nullopt;
    Refs refs;
    PyObject* name = nullptr;
    PyObject* target = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(targets, &pos, &name, &target)) {
      std::optional<std::string_view> called = utf8_of(name);
      if (!called) return std::nullopt;
      if (!PyTuple_Check(target) || PyTuple_Size(target) < 6) {
        PyErr_SetString(PyExc_TypeError, "_lineage_files() targets must be origins");
        return std::nullopt;
      }
      PyObject* kind = PyTuple_GetItem(target, 0);
      if (!PyUnicode_Check(kind) || PyUnicode_CompareWithASCIIString(kind, "model") != 0) {
        refs.emplace_back(*called, std::nullopt);
        continue;
      }
      std::optional<std::string_view> model = utf8_of(PyTuple_GetItem(target, 1));
      if (!model) return std::nullopt;
      auto file = file_of.find(*model);
      if (file == file_of.end()) return std::nullopt;
      refs.emplace_back(*called, file->second);
    }
    return refs;
  }

  std::vector<State> state_;
  std::vector<std::optional<std::vector<std::string>>> columns_;
  std::vector<Waiting> waiting_;
  std::unordered_map<std::size_t, Refs> ready_refs_;
};

PyObject* lineage_files(PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"paths", "jobs", "shapes", "keys", "columns", "targets", nullptr};
  PyObject* paths_obj = nullptr;
  Py_ssize_t jobs = 1;
  PyObject* shapes_obj = nullptr;
  PyObject* keys_obj = nullptr;
  PyObject* columns_obj = Py_None;
  PyObject* targets_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnOO|OO:_lineage_files", const_cast<char**>(kwlist), &paths_obj,
                                   &jobs, &shapes_obj, &keys_obj, &columns_obj, &targets_obj)) {
    return nullptr;
  }
  std::optional<Shapes> shapes = shapes_of(shapes_obj);
  if (!shapes) return nullptr;
  PyRef sequence = PyRef::steal(PySequence_Tuple(paths_obj));
  if (!sequence) return nullptr;
  const Py_ssize_t count = PyTuple_Size(sequence.get());
  std::optional<std::vector<std::string>> read_paths = file_system_paths(sequence.get(), "_lineage_files");
  if (!read_paths) return nullptr;
  const std::vector<std::string>& paths = *read_paths;
  PyRef keys = per_path(keys_obj, count, "keys", "a str", [](PyObject* key) { return PyUnicode_Check(key) != 0; });
  if (!keys) return nullptr;
  std::vector<std::optional<query::RefColumns>> refs(paths.size());
  if (columns_obj != Py_None) {
    PyRef columns = per_path(columns_obj, count, "columns", "a dict or None", dict_or_none);
    if (!columns) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* dict = PyTuple_GetItem(columns.get(), i);
      if (dict == Py_None) continue;
      refs[static_cast<std::size_t>(i)] = ref_columns(dict);
      if (!refs[static_cast<std::size_t>(i)]) return nullptr;
    }
  }
  PyRef targets;  // a dict of ref name to origin, or None, for each path
  if (targets_obj != Py_None) {
    targets = per_path(targets_obj, count, "targets", "a dict or None", dict_or_none);
    if (!targets) return nullptr;
  }
  PyRef list = PyRef::steal(PyList_New(count));
  if (!list) return nullptr;
  std::vector<std::optional<query::FileLineage>> found(paths.size());
  SpentResults spent;  // outlives the reading threads, which free its results
  ValueMaker make(*shapes);
  // Without columns given, a file that needs its refs' columns is read again
  // here once the files of those models are decided.
  std::optional<WaitingFiles> waiting;
  if (columns_obj == Py_None && targets) waiting.emplace(paths.size());
  const auto take = [&](std::size_t i) {
    // The values made here are all new and acyclic: passes of the cyclic
    // collector over them while they are made would find nothing. Paused for
    // one file at a time, never while the batch waits without the
    // interpreter lock and other threads could turn the collector on or off.
    const CollectorPaused paused;
    const auto at = static_cast<Py_ssize_t>(i);
    if (waiting) waiting->note(i, found[i]);
    PyObject* file_targets = targets ? PyTuple_GetItem(targets.get(), at) : nullptr;
    PyObject* item = found[i] ? make.file(*found[i], i, file_targets, PyTuple_GetItem(keys.get(), at),
                                          PyTuple_GetItem(sequence.get(), at))
                              : Py_NewRef(Py_None);
    if (found[i]) spent.add(std::move(*found[i]));  // made into values: its memory can go
    found[i].reset();
    if (item == nullptr) return false;
    PyList_SetItem(list.get(), at, item);
    return true;
  };
  const auto jobs_used = static_cast<std::size_t>(std::max<Py_ssize_t>(1, jobs));
  const auto read = [&](const std::vector<std::size_t>& files, const std::vector<query::RefColumns>* refs) {
    const auto resolve = [&](std::size_t j) {
      spent.free_added();
      try {
        found[files[j]] = lineage_of(paths[files[j]], refs ? &(*refs)[j] : nullptr);
      } catch (...) {
        found[files[j]].reset();  // out of memory: the file follows the caller's way
      }
    };
    return in_order_on_threads(jobs_used, files.size(), resolve, [&](std::size_t j) { return take(files[j]); });
  };
  std::vector<std::size_t> every(paths.size());
  for (std::size_t i = 0; i < every.size(); ++i) every[i] = i;
  if (!read(every, nullptr)) return nullptr;
  std::optional<FilesByKey> file_of = files_by_key(keys.get());
  if (!file_of) return nullptr;
  if (waiting) {
    if (!waiting->find_models(*file_of, targets.get())) return nullptr;
    for (std::vector<std::size_t> ready = waiting->ready(); !ready.empty(); ready = waiting->ready()) {
      const std::vector<query::RefColumns> refs = waiting->ref_columns(ready);
      if (!read(ready, &refs)) return nullptr;
    }
  }
  {
    // As for each file's values: tens of thousands of new steps, each
    // allocation of which could otherwise start a pass of the collector.
    const CollectorPaused paused;
    if (!make.link_models(list.get(), sequence.get(), *file_of)) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return list.release();
}

// _step_with(step, fields, name, value): a copy of `step`, an instance of a
// frozen class whose fields are `fields` in order, with field `name` set to
// `value`, made as the batch makes its steps: out of the collector's passes
// (a tree of steps holds no cycle), its fields held in place.
PyObject* step_with(PyObject* const* args, Py_ssize_t count) {
  const auto refused = [] {
    PyErr_SetString(PyExc_TypeError, "_step_with() takes a step, a tuple of its field names, a name and a value");
    return nullptr;
  };
  if (count != 4 || !made_by_object_new(reinterpret_cast<PyObject*>(Py_TYPE(args[0]))) || !field_names(args[1]) ||
      !PyUnicode_Check(args[2])) {
    return refused();
  }
  PyObject* original = args[0];
  PyObject* fields = args[1];
  const std::vector<PyMemberDef*> slots = slots_of(reinterpret_cast<PyObject*>(Py_TYPE(original)), fields);
  auto construct = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  PyRef none = PyRef::steal(PyTuple_New(0));
  PyRef made = PyRef::steal(none ? construct(Py_TYPE(original), none.get(), nullptr) : nullptr);
  if (!made) return nullptr;
  auto* from = reinterpret_cast<char*>(original);
  auto* into = reinterpret_cast<char*>(made.get());
  for (Py_ssize_t i = 0; i < PyTuple_Size(fields); ++i) {
    PyObject* name = PyTuple_GetItem(fields, i);
    const bool chosen = name == args[2] || PyUnicode_Compare(name, args[2]) == 0;  // both texts
    PyMemberDef* slot = slots.empty() ? nullptr : slots[static_cast<std::size_t>(i)];
    PyRef value = chosen ? PyRef::borrow(args[3])
                 : slot != nullptr ? PyRef::steal(PyMember_GetOne(from, slot))
                                   : PyRef::steal(PyObject_GetAttr(original, name));
    // Set as object.__setattr__ would: the class itself refuses, being frozen.
    const bool set = value && (slot != nullptr ? PyMember_SetOne(into, slot, value.get())
                                               : PyObject_GenericSetAttr(made.get(), name, value.get())) == 0;
    if (!set) return nullptr;
  }
  return untracked(made.release());
}

// One file's kept values for _lineage_kept(): (rest, filters), each None
// where the file gives None; null with an error set.
PyObject* kept_file(ValueMaker& make, PyObject* file) {
  if (!PyTuple_Check(file) || PyTuple_Size(file) != 3 || !dict_or_none(PyTuple_GetItem(file, 2))) {
    PyErr_SetString(PyExc_TypeError, "_lineage_kept() files must each be (columns, filters, targets a dict or None)");
    return nullptr;
  }
  PyObject* columns = PyTuple_GetItem(file, 0);  // borrowed, as the rest
  PyObject* filters = PyTuple_GetItem(file, 1);
  PyRef rest = PyRef::borrow(Py_None);
  if (columns != Py_None) {
    const auto* kept = kept_values<KeptColumns>(columns);
    rest = PyRef::steal(kept != nullptr ? make.rest(*kept) : nullptr);
  }
  PyRef uses = PyRef::borrow(Py_None);
  if (rest && filters != Py_None) {
    const auto* kept = kept_values<KeptFilters>(filters);
    uses = PyRef::steal(kept != nullptr ? make.filters(*kept, PyTuple_GetItem(file, 2)) : nullptr);
  }
  return rest && uses ? pack({rest.release(), uses.release()}) : nullptr;
}

// _lineage_kept(files, shapes): the values of what _lineage_files() kept
// of each file, given as (kept columns or None, kept filters or None,
// targets): (rest, filters), rest (origins, steps, next steps, trees) as
// ValueMaker::rest() makes them, filters as ValueMaker::filters(). Made
// together, the files share their origins.
PyObject* lineage_kept(PyObject* const* args, Py_ssize_t count) {
  if (count != 2) {
    PyErr_SetString(PyExc_TypeError, "_lineage_kept() takes files and shapes");
    return nullptr;
  }
  std::optional<Shapes> shapes = shapes_of(args[1]);
  PyRef files = PyRef::steal(shapes ? PySequence_Tuple(args[0]) : nullptr);
  if (!files) return nullptr;
  ValueMaker make(*shapes);
  const CollectorPaused paused;  // as for a batch's values
  return list_of(static_cast<std::size_t>(PyTuple_Size(files.get())), [&](std::size_t i) {
    return kept_file(make, PyTuple_GetItem(files.get(), static_cast<Py_ssize_t>(i)));
  });
}

PyObject* lineage_kept_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return guarded<PyObject*>(nullptr, [&] { return lineage_kept(args, count); });
}

PyObject* step_with_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return guarded<PyObject*>(nullptr, [&] { return step_with(args, count); });
}

PyObject* lineage_files_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] { return lineage_files(args, kwargs); });
}

}  // namespace

PyMethodDef kFileLineageFunctions[] = {
    {"_lineage_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(lineage_files_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "_lineage_files(paths, jobs, shapes, keys, columns=None, targets=None)\n--\n\nFor each path, (has a query, "
     "entries, kept columns and kept filters (see\n_lineage_kept()), every ref resolved, one model "
     "deep) as far as\nthe file says, steps of the model named in `keys`, with the columns of its refs'\nmodels when "
     "`columns` gives them (a dict per path: ref name to a list of names, or\nNone when unknown), each ref's model "
     "from `targets` when it gives them (a dict per\npath: ref name to an origin), values made as `shapes` says; why "
     "it cannot say as a\nstr; None for a file to follow the slow way."},
    {"_step_with", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(step_with_entry)), METH_FASTCALL,
     "_step_with(step, fields, name, value)\n--\n\nA copy of `step`, whose fields are `fields` in order, with "
     "field `name` set to\n`value`, made as _lineage_files() makes its steps."},
    {"_lineage_kept", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(lineage_kept_entry)),
     METH_FASTCALL,
     "_lineage_kept(files, shapes)\n--\n\nThe values of what _lineage_files() kept of each file, given as (kept "
     "columns\n(its item 2) or None, kept filters (its item 3) or None, targets): (rest,\nfilters), each None where "
     "not asked. Rest is (origins, steps, next steps,\ntrees), each a dict by the name of a column in lower case; "
     "filters each (text,\nclause, line, column, origins), each ref's model from `targets` (a dict or None).\nValues "
     "made as `shapes` says, origins shared between the files."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace trelm::python
