#include "python/literal_convert.hpp"

#include <cmath>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace trelm::python {
namespace {

using jinja::Literal;

// ---- Python to Literal ----

// A dict, list or tuple being converted. Holds a strong reference so that a
// finalizer run by an allocation cannot free it while it is on the path.
struct InFrame {
  PyRef container;
  bool is_dict = false;
  Py_ssize_t pos = 0;                 // PyDict_Next position, or sequence index
  PyRef pending_value;                // dict: the value of the pair whose key is being converted
  std::optional<Literal> key;         // dict: the converted key waiting for its value
  Literal built;                      // the list or dict filled so far
};

PyObject* raise_cannot_write(PyObject* value) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "cannot write a %S as a Jinja literal; use set_raw() with Jinja source instead",
               name.get());
  return nullptr;
}

enum class Kind { Scalar, Dict, Sequence, Refused };

Kind kind_of(PyObject* v) {
  if (v == Py_None || Py_TYPE(v) == &PyBool_Type || PyLong_Check(v) || PyFloat_Check(v) || PyUnicode_Check(v)) {
    return Kind::Scalar;
  }
  if (PyDict_Check(v)) return Kind::Dict;
  if (PyList_Check(v) || PyTuple_Check(v)) return Kind::Sequence;
  return Kind::Refused;
}

// A None, bool, int, float or str; nullopt with the conversion's error set.
std::optional<Literal> scalar_literal(PyObject* v) {
  if (v == Py_None) return Literal::none();
  if (Py_TYPE(v) == &PyBool_Type) return Literal::boolean(v == Py_True);
  if (PyLong_Check(v)) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (n == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow == 0) return Literal::integer(n);
    // Past 64 bits: the decimal digits, read from the int itself (no
    // __str__ of a subclass runs).
    PyRef digits = PyRef::steal(PyNumber_ToBase(v, 10));
    if (!digits) return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(digits.get(), &size);
    if (data == nullptr) return std::nullopt;
    return Literal::big_integer(std::string(data, static_cast<std::size_t>(size)));
  }
  if (PyFloat_Check(v)) {
    double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) return std::nullopt;
    // Written out, nan and inf would read back as names, not numbers.
    if (!std::isfinite(d)) {
      PyErr_Format(PyExc_ValueError, "cannot write %s as a Jinja literal: only finite numbers can be read back",
                   std::isnan(d) ? "nan" : d > 0 ? "inf" : "-inf");
      return std::nullopt;
    }
    return Literal::floating(d);
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(v, &size);
  if (data == nullptr) return std::nullopt;
  return Literal::str(std::string(data, static_cast<std::size_t>(size)));
}

// The next element of `f` to convert: for a dict its key, then its value.
// Empty when the container is done (or, with an error set, when reading it failed).
PyRef next_element(InFrame& f) {
  if (f.is_dict) {
    if (f.pending_value) return std::move(f.pending_value);
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (!PyDict_Next(f.container.get(), &f.pos, &key, &value)) return {};
    // A container key would be written as a list, which no reader takes
    // back as a key.
    if (kind_of(key) != Kind::Scalar) {
      PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(key)), "__name__"));
      if (name) {
        PyErr_Format(PyExc_TypeError,
                     "cannot write a dict key of type %S as a Jinja literal: keys must be strings, numbers, "
                     "booleans or None",
                     name.get());
      }
      return {};
    }
    f.pending_value = PyRef::borrow(value);
    return PyRef::borrow(key);
  }
  PyObject* seq = f.container.get();
  bool is_list = PyList_Check(seq);
  Py_ssize_t size = is_list ? PyList_Size(seq) : PyTuple_Size(seq);
  if (size < 0 || f.pos >= size) return {};
  PyObject* item = is_list ? PyList_GetItem(seq, f.pos) : PyTuple_GetItem(seq, f.pos);
  ++f.pos;
  return PyRef::borrow(item);
}

void add_element(InFrame& f, Literal element) {
  if (!f.is_dict) {
    f.built.as<Literal::List>().push_back(std::move(element));
  } else if (!f.key) {
    f.key = std::move(element);
  } else {
    f.built.as<Literal::Dict>().emplace_back(std::move(*f.key), std::move(element));
    f.key.reset();
  }
}

// ---- Literal to Python ----

struct OutFrame {
  const Literal* literal = nullptr;
  std::size_t next = 0;  // list: element index; dict: 2 * pair index (+1 for its value)
  PyRef container;
  PyRef key;             // dict: the converted key waiting for its value
};

bool is_container(const Literal& lit) { return lit.holds<Literal::List>() || lit.holds<Literal::Dict>(); }

PyObject* scalar_value(const Literal& lit) {
  if (lit.holds<Literal::Str>()) {
    const std::string& s = lit.as<Literal::Str>();
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  }
  if (lit.holds<Literal::Int>()) return PyLong_FromLongLong(lit.as<Literal::Int>());
  if (lit.holds<Literal::Float>()) return PyFloat_FromDouble(lit.as<Literal::Float>());
  if (lit.holds<Literal::Bool>()) return PyBool_FromLong(lit.as<Literal::Bool>() ? 1 : 0);
  if (lit.holds<Literal::BigInt>()) return PyLong_FromString(lit.as<Literal::BigInt>().digits.c_str(), nullptr, 0);
  Py_RETURN_NONE;
}

PyObject* empty_container(const Literal& lit) {
  if (lit.holds<Literal::List>()) return PyList_New(static_cast<Py_ssize_t>(lit.as<Literal::List>().size()));
  return PyDict_New();
}

const Literal* next_child(OutFrame& f) {
  if (f.literal->holds<Literal::List>()) {
    const Literal::List& items = f.literal->as<Literal::List>();
    return f.next < items.size() ? &items[f.next++] : nullptr;
  }
  const Literal::Dict& pairs = f.literal->as<Literal::Dict>();
  std::size_t pair = f.next / 2;
  if (pair >= pairs.size()) return nullptr;
  bool is_key = f.next % 2 == 0;
  ++f.next;
  return is_key ? &pairs[pair].first : &pairs[pair].second;
}

// Puts the converted child just handed out by next_child into `f`.
bool attach(OutFrame& f, PyRef child) {
  if (f.literal->holds<Literal::List>()) {
    PyList_SetItem(f.container.get(), static_cast<Py_ssize_t>(f.next - 1), child.release());  // steals
    return true;
  }
  if (f.next % 2 == 1) {
    f.key = std::move(child);
    return true;
  }
  PyRef key = std::move(f.key);
  return PyDict_SetItem(f.container.get(), key.get(), child.get()) == 0;
}

// The character "\N{name}" decodes to; nullopt when it does not decode.
std::optional<char32_t> character_named(std::string_view name) {
  std::string escape = "\\N{";
  escape += name;
  escape += '}';
  PyRef decoded = PyRef::steal(
      PyUnicode_DecodeUnicodeEscape(escape.data(), static_cast<Py_ssize_t>(escape.size()), "strict"));
  if (!decoded || PyUnicode_GetLength(decoded.get()) != 1) {
    PyErr_Clear();
    return std::nullopt;
  }
  const Py_UCS4 cp = PyUnicode_ReadChar(decoded.get(), 0);
  if (cp == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return static_cast<char32_t>(cp);
}

}  // namespace

const jinja::CharacterNames* interpreter_character_names() {
  static const jinja::CharacterNames names = character_named;
  return &names;
}

LearntCharacterNames::LearntCharacterNames()
    : lookup_([this](std::string_view name) -> std::optional<char32_t> {
        const auto it = known_.find(std::string(name));
        if (it != known_.end()) return it->second;
        missed_.emplace_back(name);
        return std::nullopt;
      }) {}

bool LearntCharacterNames::learn() {
  if (missed_.empty()) return false;
  for (const std::string& name : missed_) known_.emplace(name, character_named(name));
  missed_.clear();
  return true;
}

std::optional<Literal> py_to_literal(PyObject* value) {
  std::vector<InFrame> stack;
  std::unordered_set<PyObject*> on_path;  // containers being converted, to refuse cycles
  PyRef current = PyRef::borrow(value);
  for (;;) {
    std::optional<Literal> done;
    PyObject* v = current.get();
    switch (kind_of(v)) {
      case Kind::Scalar:
        done = scalar_literal(v);
        if (!done) return std::nullopt;
        break;
      case Kind::Refused:
        raise_cannot_write(v);
        return std::nullopt;
      case Kind::Dict:
      case Kind::Sequence: {
        if (!on_path.insert(v).second) {
          PyErr_SetString(PyExc_RecursionError, "cannot write a value that contains itself as a Jinja literal");
          return std::nullopt;
        }
        InFrame frame;
        frame.is_dict = PyDict_Check(v);
        frame.built = frame.is_dict ? Literal::dict() : Literal::list();
        frame.container = std::move(current);
        stack.push_back(std::move(frame));
        break;
      }
    }
    // Hand finished values up until some container has an element left.
    for (;;) {
      if (done) {
        if (stack.empty()) return done;
        add_element(stack.back(), std::move(*done));
        done.reset();
      }
      InFrame& top = stack.back();
      PyRef next = next_element(top);
      if (next) {
        current = std::move(next);
        break;
      }
      if (PyErr_Occurred()) return std::nullopt;
      on_path.erase(top.container.get());
      done = std::move(top.built);
      stack.pop_back();
    }
  }
}

PyObject* literal_to_py(const Literal& literal) {
  std::vector<OutFrame> stack;
  const Literal* current = &literal;
  for (;;) {
    PyRef done;
    if (!is_container(*current)) {
      done = PyRef::steal(scalar_value(*current));
      if (!done) return nullptr;
    } else {
      PyRef container = PyRef::steal(empty_container(*current));
      if (!container) return nullptr;
      stack.push_back(OutFrame{current, 0, std::move(container), {}});
    }
    for (;;) {
      if (done) {
        if (stack.empty()) return done.release();
        if (!attach(stack.back(), std::move(done))) return nullptr;
      }
      OutFrame& top = stack.back();
      const Literal* next = next_child(top);
      if (next != nullptr) {
        current = next;
        break;
      }
      done = std::move(top.container);
      stack.pop_back();
    }
  }
}

}  // namespace trelm::python
