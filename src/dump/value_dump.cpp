#include "dump/value_dump.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "support/program_errors.hpp"
#include "utils/msgpack_write.hpp"

namespace vask::dump {
namespace {

// ---- facts about types, read without running user code ----------------------

// type.__name__, read from the type object (a metaclass's __name__ never runs).
std::string type_name(PyTypeObject* tp) {
  if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) {
    PyObject* name = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_name;
    if (name != nullptr && PyUnicode_Check(name)) {
      const Utf8Text text = utf8_text(name);
      return std::string(text.text());
    }
  }
  const char* full = tp->tp_name;
  const char* dot = std::strrchr(full, '.');
  return dot != nullptr ? dot + 1 : full;
}

// enum.Enum, set by prepare_dumpers() and kept for the life of the process.
PyTypeObject* g_enum_type = nullptr;

// A walk of the MRO: no __subclasscheck__ of a metaclass runs.
bool is_enum(PyTypeObject* tp) noexcept {
  return g_enum_type != nullptr && PyType_IsSubtype(tp, g_enum_type);
}

// Values that hold no entries (whose repr shows no name of a map).
bool is_leaf_type(PyTypeObject* tp) noexcept {
  return tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type ||
         tp == Py_TYPE(Py_None) || tp == &PyBytes_Type;
}

// The keys of an OrderedDict are visited through its own iterator, which
// hashes each key; that runs no user code only for these types.
bool hashes_natively(PyTypeObject* tp) noexcept {
  return tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type ||
         tp == &PyBytes_Type || tp == Py_TYPE(Py_None);
}

enum class Base : uint8_t { None, Dict, List, Tuple };

// dict, list or tuple when values of tp may hold map entries (the built-in
// type for its subclasses too), else None. Enum members are not containers.
Base entries_base(PyTypeObject* tp) noexcept {
  if (tp == &PyDict_Type) return Base::Dict;
  if (tp == &PyList_Type) return Base::List;
  if (tp == &PyTuple_Type) return Base::Tuple;
  if (is_leaf_type(tp)) return Base::None;
  const unsigned long flags = tp->tp_flags;
  if (!(flags &
        (Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS))) {
    return Base::None;
  }
  if (is_enum(tp)) return Base::None;
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return Base::Dict;
  return (flags & Py_TPFLAGS_LIST_SUBCLASS) ? Base::List : Base::Tuple;
}

// ---- text helpers --------------------------------------------------------------

size_t count_code_points(std::string_view s) noexcept {
  size_t n = 0;
  for (const char c : s) n += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
  return n;
}

// s cut to `limit` code points, then "..." when anything was cut.
void cut_utf8(std::string& s, size_t limit) {
  size_t seen = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xc0) == 0x80) continue;
    if (seen++ == limit) {
      s.resize(i);
      s += "...";
      return;
    }
  }
}

// Text of a str instance cut to `limit` characters plus a visible marker.
// The view points into the object or into the holder.
class TextHead {
 public:
  TextHead(PyObject* str, Py_ssize_t limit) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    if (n <= limit) {
      utf8_ = utf8_text(str);
      view_ = utf8_.text();
      return;
    }
    Ref head = Ref::check(PyUnicode_Substring(str, 0, limit));
    const Utf8Text text = utf8_text(head.get());
    copy_ = text.text();
    copy_ += "...<";
    copy_ += std::to_string(n - limit);
    copy_ += " more chars>";
    view_ = copy_;
  }
  std::string_view view() const noexcept { return view_; }

 private:
  Utf8Text utf8_;
  std::string copy_;
  std::string_view view_;
};

// The short form of a repr: at most kLightweightReprChars characters, then
// "..." when cut.
std::string short_text(PyObject* str) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
  if (n <= kLightweightReprChars) {
    const Utf8Text text = utf8_text(str);
    return std::string(text.text());
  }
  Ref head = Ref::check(PyUnicode_Substring(str, 0, kLightweightReprChars));
  const Utf8Text text = utf8_text(head.get());
  std::string out(text.text());
  out += "...";
  return out;
}

// The decimal text of an int, or "<int of N bits>" when it is too large to
// convert cheaply (or beyond the interpreter's own digit limit).
Ref int_text(PyObject* v) {
  const size_t bits = _PyLong_NumBits(v);
  if (bits != static_cast<size_t>(-1) && bits <= kMaxIntReprBits) {
    // int's own repr, also for subclasses: no overridden __repr__ runs.
    if (PyObject* text = PyLong_Type.tp_repr(v)) return Ref::steal(text);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_py();
  }
  PyErr_Clear();
  return Ref::check(PyUnicode_FromFormat("<int of %zu bits>", bits));
}

// ---- the error rule ------------------------------------------------------------

// Called with a Python error set by user code. The program's exceptions are
// put back and thrown; anything else is dropped (the caller writes a
// placeholder instead).
void contain_error() {
  Ref exc = fetch_error();
  if (belongs_to_program(exc.get())) {
    restore_error(std::move(exc));
    throw PyErrSet{};
  }
}

// repr(v) as a str, or "<unrepresentable TypeName>" when it raises.
Ref safe_repr(PyObject* v) {
  if (PyObject* r = PyObject_Repr(v)) return Ref::steal(r);
  contain_error();
  const std::string text = "<unrepresentable " + type_name(Py_TYPE(v)) + ">";
  return make_str(text);
}

// object.__repr__'s text of a value whose type takes its repr from object
// (no __repr__ anywhere in its MRO), in parts borrowed from the type:
// "<module.qualname object at 0x...>", or "<tp_name object at 0x...>" for a
// static type and for a __module__ that is "builtins", not text or missing.
// Valid until Python code runs.
struct DefaultRepr {
  bool qualified = false;
  std::string_view module;  // when qualified
  std::string_view name;    // the qualname, or tp_name
  char address[2 * sizeof(uintptr_t)];
  size_t address_size = 0;
  size_t chars = 0;  // the text's length in characters

  static constexpr std::string_view kAt = " object at 0x";

  size_t bytes() const noexcept {
    return 1 + (qualified ? module.size() + 1 : 0) + name.size() + kAt.size() + address_size + 1;
  }
  void append_to(std::string& out) const {
    out.push_back('<');
    if (qualified) {
      out.append(module);
      out.push_back('.');
    }
    out.append(name);
    out.append(kAt);
    out.append(address, address_size);
    out.push_back('>');
  }
};

// The UTF-8 of a str the interpreter can encode so (no lone surrogates).
std::optional<std::string_view> utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(text, static_cast<size_t>(size));
}

// How type's repr and object's name a class: by its module and qualname
// (a heap class whose __module__, in its own dict, is a text other than
// "builtins"), else by its tp_name. Unknown where the interpreter's own call
// might answer otherwise (text with lone surrogates, a dict that fails).
enum class ClassNaming { Qualified, ByTpName, Unknown };
struct QualifiedName {
  std::string_view module, qualname;  // borrowed from the class (its dict, its qualname)
  size_t chars = 0;                   // of "module.qualname"
};

// Reads the class's own storage only, and runs no code. GIL held.
ClassNaming class_naming(PyTypeObject* tp, QualifiedName& out) {
  if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE)) return ClassNaming::ByTpName;
  PyObject* module = PyDict_GetItemWithError(tp->tp_dict, interned().dunder_module);
  if (module == nullptr && PyErr_Occurred()) {
    PyErr_Clear();
    return ClassNaming::Unknown;
  }
  // No __module__ (a class made where globals have no __name__) reads as
  // one that is not text.
  if (module == nullptr || !PyUnicode_Check(module) ||
      (PyUnicode_GET_LENGTH(module) == 8 &&
       PyUnicode_CompareWithASCIIString(module, "builtins") == 0)) {
    return ClassNaming::ByTpName;
  }
  PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_qualname;
  const std::optional<std::string_view> m = utf8_of(module);
  const std::optional<std::string_view> q = m ? utf8_of(qualname) : std::nullopt;
  if (!q) return ClassNaming::Unknown;
  out.module = *m;
  out.qualname = *q;
  out.chars = static_cast<size_t>(PyUnicode_GET_LENGTH(module)) + 1 +
              static_cast<size_t>(PyUnicode_GET_LENGTH(qualname));
  return ClassNaming::Qualified;
}

// Fills `r` for v, when v's type takes object's repr. False wherever the
// call itself might answer otherwise (text with lone surrogates, the
// recursion limit reached): the caller calls repr() then. Reads what
// object.__repr__ reads, and nothing else. GIL held.
bool default_repr(PyObject* v, DefaultRepr& r) {
  PyTypeObject* tp = Py_TYPE(v);
  if (tp->tp_repr != PyBaseObject_Type.tp_repr) return false;
  if (Py_EnterRecursiveCall(" while getting the repr of an object") != 0) {
    PyErr_Clear();
    return false;
  }
  Py_LeaveRecursiveCall();
  QualifiedName name;
  switch (class_naming(tp, name)) {
    case ClassNaming::Unknown:
      return false;
    case ClassNaming::Qualified:
      r.qualified = true;
      r.module = name.module;
      r.name = name.qualname;
      r.chars = 1 + name.chars;
      break;
    case ClassNaming::ByTpName:
      break;
  }
  if (!r.qualified) {
    r.name = tp->tp_name;
    r.chars = 1 + count_code_points(r.name);
  }
  // %p as the interpreter formats it: 0x and lowercase hex digits.
  const auto [end, ec] =
      std::to_chars(r.address, r.address + sizeof r.address, reinterpret_cast<uintptr_t>(v), 16);
  (void)ec;  // the digits of a pointer always fit
  r.address_size = static_cast<size_t>(end - r.address);
  r.chars += DefaultRepr::kAt.size() + r.address_size + 1;
  return true;
}

// The texts of two reprs written often (a class in an object's fields, a
// plain function), made here from the parts the interpreter formats them
// of, without making a str:
//   type's repr of a class: "<class 'module.QualName'>" for a class whose
//   __module__ (in its own dict) is a text other than "builtins", else
//   "<class 'tp_name'>";
//   a function's: "<function QualName at 0x...>".
// Sets `chars` to the text's length in characters. False wherever the
// interpreter's own call might answer otherwise (text with lone surrogates,
// a class not ready): the caller asks it then. Reads what those reprs read,
// and runs no code. GIL held.
bool known_repr(PyObject* v, std::string& out, size_t& chars) {
  if (PyFunction_Check(v)) {
    PyObject* qualname = reinterpret_cast<PyFunctionObject*>(v)->func_qualname;
    if (qualname == nullptr || !PyUnicode_Check(qualname)) return false;
    const std::optional<std::string_view> name = utf8_of(qualname);
    if (!name) return false;
    char address[2 * sizeof(uintptr_t)];
    const auto [end, ec] =
        std::to_chars(address, address + sizeof address, reinterpret_cast<uintptr_t>(v), 16);
    (void)ec;  // the digits of a pointer always fit
    const std::string_view hex(address, static_cast<size_t>(end - address));
    out.assign("<function ").append(*name).append(" at 0x").append(hex).push_back('>');
    chars = 10 + static_cast<size_t>(PyUnicode_GET_LENGTH(qualname)) + 6 + hex.size() + 1;
    return true;
  }
  if (!PyType_Check(v)) return false;
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(v);
  if (tp->tp_name == nullptr) return false;
  QualifiedName name;
  switch (class_naming(tp, name)) {
    case ClassNaming::Unknown:
      return false;
    case ClassNaming::Qualified:
      out.assign("<class '").append(name.module).append(".").append(name.qualname).append("'>");
      chars = 8 + name.chars + 2;
      return true;
    case ClassNaming::ByTpName:
      break;
  }
  // (A static type's module and qualname are its tp_name's parts: the same text.)
  const std::string_view tp_name = tp->tp_name;
  out.assign("<class '").append(tp_name).append("'>");
  chars = 8 + count_code_points(tp_name) + 2;
  return true;
}

// ---- the walk ------------------------------------------------------------------

// Owned references taken from containers before anything of theirs is
// written, stacked: a container pushes its snapshot, writes it and pops it.
// A snapshot keeps every item alive and in place whatever a repr (or another
// thread, while a repr releases the GIL) does to the container meanwhile.
// Entries are reached by index: the vector may grow under a nested container.
class Held {
 public:
  explicit Held(std::vector<PyObject*>& items) : items_(items), base_(items.size()) {}
  ~Held() { release_in_destructor(base_); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

  size_t size() const noexcept { return items_.size(); }
  PyObject* operator[](size_t i) const noexcept { return items_[i]; }
  void reserve_more(size_t n) { items_.reserve(items_.size() + n); }
  void hold(PyObject* borrowed) {
    items_.push_back(borrowed);
    Py_INCREF(borrowed);
  }
  // The stack itself, for code that pushes new references onto it.
  std::vector<PyObject*>& stack() noexcept { return items_; }
  void hold_new(Ref owned) {
    items_.push_back(owned.get());
    (void)owned.release();
  }
  // Decrefs may run finalizers (the snapshot may hold the last reference);
  // the entries are popped first, so a finalizer sees a consistent stack.
  void release_to(size_t mark) {
    while (items_.size() > mark) {
      PyObject* p = items_.back();
      items_.pop_back();
      Py_DECREF(p);
    }
  }
  // As release_to(), from a destructor: on a thread that lost the GIL (one
  // the interpreter ends at exit) the references are left, not dropped.
  void release_in_destructor(size_t mark) {
    if (python_usable()) {
      release_to(mark);
    } else if (items_.size() > mark) {
      items_.resize(mark);
    }
  }

 private:
  std::vector<PyObject*>& items_;
  size_t base_;
};

// Pops a snapshot when its container is written (or the walk unwinds).
class Snapshot {
 public:
  explicit Snapshot(Held& held) : held_(held), mark_(held.size()) {}
  ~Snapshot() { held_.release_in_destructor(mark_); }
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;
  size_t mark() const noexcept { return mark_; }
  PyObject* item(Py_ssize_t i) const noexcept { return held_[mark_ + static_cast<size_t>(i)]; }
  PyObject* key(Py_ssize_t i) const noexcept { return held_[mark_ + 2 * static_cast<size_t>(i)]; }
  PyObject* value(Py_ssize_t i) const noexcept {
    return held_[mark_ + 2 * static_cast<size_t>(i) + 1];
  }

 private:
  Held& held_;
  size_t mark_;
};

// The next item of a built-in iterator (its tp_iternext runs no user code),
// or an empty Ref at the end. Throws PyErrSet.
Ref next_item(PyObject* it) {
  Ref item = Ref::steal(Py_TYPE(it)->tp_iternext(it));
  if (!item && PyErr_Occurred()) throw_py();
  return item;
}

// Holds up to `limit` (key, value) pairs of the dict (or dict subclass) d, in
// its iteration order; returns how many. Only the dict's own storage is read.
Py_ssize_t hold_dict_items(Held& held, PyObject* d, Py_ssize_t limit) {
  if (limit <= 0) return 0;
  held.reserve_more(2 * static_cast<size_t>(std::min(limit, PyDict_GET_SIZE(d))));
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  if (PyODict_Check(d)) {
    // An OrderedDict's order may differ from its storage's (move_to_end). Its
    // iterator hashes the keys it visits: used only when that runs no user code.
    bool native = true;
    while (native && PyDict_Next(d, &pos, &key, &value)) native = hashes_natively(Py_TYPE(key));
    if (native) {
      Ref it = Ref::check(PyODict_Type.tp_iter(d));
      Py_ssize_t n = 0;
      while (n < limit) {
        Ref k = next_item(it.get());
        if (!k) break;
        PyObject* v = PyDict_GetItemWithError(d, k.get());  // borrowed
        if (v == nullptr) {
          if (PyErr_Occurred()) throw_py();
          continue;
        }
        held.hold(k.get());
        held.hold(v);
        ++n;
      }
      return n;
    }
    pos = 0;
  }
  Py_ssize_t n = 0;
  while (n < limit && PyDict_Next(d, &pos, &key, &value)) {
    held.hold(key);
    held.hold(value);
    ++n;
  }
  return n;
}

// Holds up to `limit` items of a list, tuple, set or frozenset (or subclass),
// read through the built-in type; returns how many.
Py_ssize_t hold_items(Held& held, PyObject* c, Py_ssize_t limit) {
  if (limit <= 0) return 0;
  if (PyList_Check(c) || PyTuple_Check(c)) {
    const bool list = PyList_Check(c);
    const Py_ssize_t n = std::min(limit, list ? PyList_GET_SIZE(c) : PyTuple_GET_SIZE(c));
    held.reserve_more(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      held.hold(list ? PyList_GET_ITEM(c, i) : PyTuple_GET_ITEM(c, i));
    }
    return n;
  }
  // The set type's own iterator: an overridden __iter__ never runs.
  PyTypeObject* base = PyFrozenSet_Check(c) ? &PyFrozenSet_Type : &PySet_Type;
  Ref it = Ref::check(base->tp_iter(c));
  Py_ssize_t n = 0;
  while (n < limit) {
    Ref item = next_item(it.get());
    if (!item) break;
    held.hold_new(std::move(item));
    ++n;
  }
  return n;
}

Py_ssize_t container_size(PyObject* c) noexcept {
  if (PyDict_Check(c)) return PyDict_GET_SIZE(c);
  if (PyList_Check(c)) return PyList_GET_SIZE(c);
  if (PyTuple_Check(c)) return PyTuple_GET_SIZE(c);
  return PySet_GET_SIZE(c);
}

// A short header for a count that the walk cut: the count is rewritten in
// place (a smaller count never needs a longer header).
size_t header_size(uint32_t count) noexcept { return count < 16 ? 1 : count <= 0xffff ? 3 : 5; }

[[gnu::cold]] void patch_count(Bytes& out, size_t at, uint32_t old_count, uint32_t new_count,
                               bool map) {
  Bytes header;
  if (map) {
    mp::write_map_header(header, new_count);
  } else {
    mp::write_array_header(header, new_count);
  }
  out.replace(at, header_size(old_count), header);
}

// Room for the longest header an extension written after its payload can
// need before fixing it: ext8 (0xc7, size, type).
constexpr size_t kExtReserve = 3;

void finish_ext(Bytes& out, size_t at, int8_t type) {
  const size_t payload = out.size() - at - kExtReserve;
  // The shortest header is ext8 for these sizes (the rest up to 16 are fixext).
  if (payload < 256 && payload != 1 && payload != 2 && payload != 4 && payload != 8 &&
      payload != 16) [[likely]] {
    out[at] = '\xc7';
    out[at + 1] = static_cast<char>(payload);
    out[at + 2] = static_cast<char>(type);
    return;
  }
  Bytes header;
  mp::write_ext_header(header, type, mp::checked_count(payload));
  if (header.size() == kExtReserve) {
    std::memcpy(out.data() + at, header.data(), kExtReserve);
  } else {
    out.replace(at, kExtReserve, header);  // fixext, ext16, ext32: the payload moves
  }
}

// Longest MessagePack uint: a marker and 8 bytes.
constexpr size_t kMaxUintBytes = 9;

// x as mp::write_uint() writes it (the shortest form), into buf; returns
// how many bytes.
size_t encode_uint(char* buf, uint64_t x) noexcept {
  int width;
  if (x <= 0x7f) {
    buf[0] = static_cast<char>(x);
    return 1;
  } else if (x <= 0xff) {
    buf[0] = '\xcc';
    width = 1;
  } else if (x <= 0xffff) {
    buf[0] = '\xcd';
    width = 2;
  } else if (x <= 0xffffffffu) {
    buf[0] = '\xce';
    width = 4;
  } else {
    buf[0] = '\xcf';
    width = 8;
  }
  for (int i = 0; i < width; ++i) buf[1 + i] = static_cast<char>(x >> (8 * (width - 1 - i)));
  return 1 + static_cast<size_t>(width);
}

// x as mp::write_int() writes it: a non-negative value as encode_uint(), a
// negative one in the shortest signed form.
size_t encode_int(char* buf, int64_t x) noexcept {
  if (x >= 0) return encode_uint(buf, static_cast<uint64_t>(x));
  if (x >= -32) {
    buf[0] = static_cast<char>(x);  // negative fixint
    return 1;
  }
  int width;
  if (x >= -128) {
    buf[0] = '\xd0';
    width = 1;
  } else if (x >= -32768) {
    buf[0] = '\xd1';
    width = 2;
  } else if (x >= -2147483648LL) {
    buf[0] = '\xd2';
    width = 4;
  } else {
    buf[0] = '\xd3';
    width = 8;
  }
  const auto bits = static_cast<uint64_t>(x);
  for (int i = 0; i < width; ++i) buf[1 + i] = static_cast<char>(bits >> (8 * (width - 1 - i)));
  return 1 + static_cast<size_t>(width);
}

size_t encode_address(char* buf, PyObject* v) noexcept {
  return encode_uint(buf, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(v)));
}

// A str written whole as a fixstr: exact, ASCII, shorter than 32 characters.
bool short_ascii(PyObject* s) noexcept {
  return PyUnicode_CheckExact(s) && PyUnicode_IS_COMPACT_ASCII(s) && PyUnicode_GET_LENGTH(s) < 32;
}

size_t encode_fixstr(char* buf, const char* text, size_t n) noexcept {
  buf[0] = static_cast<char>(0xa0 | n);
  std::memcpy(buf + 1, text, n);
  return 1 + n;
}

// Whether writing x in the full form runs no Python code and makes no object
// that could run any (no finalizer, no collection): the exact built-in
// values. Such a value may be written while borrowed.
bool writes_inertly(PyObject* x) noexcept {
  PyTypeObject* tp = Py_TYPE(x);
  return tp == &PyFloat_Type || tp == &PyLong_Type || tp == &PyUnicode_Type ||
         tp == &PyBool_Type || x == Py_None || tp == &PyBytes_Type;
}

// Map entries borrowed from an object for a walk during which no Python
// code runs: names exact str, values that write inertly.
struct BorrowedPairs {
  PyObject* const* pairs;
  PyObject* key(Py_ssize_t i) const noexcept { return pairs[2 * i]; }
  PyObject* value(Py_ssize_t i) const noexcept { return pairs[2 * i + 1]; }
};

// Most fields an object may have to be written from borrowed pairs.
constexpr Py_ssize_t kBorrowedFields = 16;

// Whether the n pairs can be written borrowed: every name an exact str that
// is written whole (a plain map key) and every value inert.
bool borrowable(PyObject* const* pairs, Py_ssize_t n) noexcept {
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* k = pairs[2 * i];
    if (!PyUnicode_CheckExact(k) || PyUnicode_GET_LENGTH(k) > kMaxStringChars ||
        !writes_inertly(pairs[2 * i + 1])) {
      return false;
    }
  }
  return true;
}

class Dumper {
 public:
  Dumper(Bytes& out, Redactor& redactor, std::vector<PyObject*>& held)
      : out_(out),
        red_(redactor),
        held_(held),
        policy_(value_policy()),
        cap_(static_cast<size_t>(std::max<int64_t>(policy_->max_value_bytes, 0))) {
    start_value();
  }

  // ---- the full form --------------------------------------------------------

  void full(PyObject* v, int depth) {
    if (--budget_ < 0) return marker(kOutputLimitMarker);
    if (depth == 0) start_value();
    PyTypeObject* tp = Py_TYPE(v);
    if (tp == &PyUnicode_Type) return text(v);
    if (tp == &PyLong_Type) return integer(v);
    if (tp == &PyFloat_Type) return mp::write_f64(out_, PyFloat_AS_DOUBLE(v));
    if (tp == &PyBool_Type) return mp::write_bool(out_, v == Py_True);
    if (v == Py_None) return mp::write_nil(out_);
    if (tp == &PyDict_Type) return mapping(v, depth);
    if (tp == &PyList_Type) return sequence(v, depth, 0);
    if (tp == &PyTuple_Type) return sequence(v, depth, kExtTuple);
    if (tp == &PyBytes_Type) return binary(PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v));
    other(v, tp, depth);
  }

  // ---- a dict given as its entries -------------------------------------------

  // The dict of `values`, as full(dict, 0) or light(dict) writes it. No value
  // can be that dict, which was never made, so it stands on no path.
  void named_values(NamedValues values, DumpForm form) {
    const bool light = form == DumpForm::Lightweight;
    if (!light && --budget_ < 0) return marker(kOutputLimitMarker);
    Snapshot snap(held_);
    const Py_ssize_t n = std::min(values.count, kMaxItems);
    held_.reserve_more(2 * static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < 2 * n; ++i) held_.hold(values.pairs[i]);
    entries(snap, n, values.count, 0, light, true);
  }

  // ---- the lightweight form -------------------------------------------------

  void light(PyObject* v) {
    if (PyDict_Check(v) && !is_enum(Py_TYPE(v))) {
      Snapshot snap(held_);
      const Py_ssize_t n = hold_dict_items(held_, v, kMaxItems);
      return entries(snap, n, PyDict_GET_SIZE(v), 0, true, true);
    }
    short_value(v);
  }

 private:
  // Subclasses of the built-in types, read through the built-in type, and the
  // rarer built-ins; everything else is its repr.
  void other(PyObject* v, PyTypeObject* tp, int depth) {
    const unsigned long flags = tp->tp_flags;
    constexpr unsigned long kNativeFlags = Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS |
                                           Py_TPFLAGS_TUPLE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS |
                                           Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS;
    // A class statement's class made straight on object (the common case) is
    // none of the built-in values: no walk of its MRO per check below.
    if ((flags & Py_TPFLAGS_HEAPTYPE) && tp->tp_base == &PyBaseObject_Type) {
      return object_value(v, depth);
    }
    const bool native = (flags & kNativeFlags) || PyFloat_Check(v) || PyAnySet_Check(v) ||
                        PyByteArray_Check(v) || PyMemoryView_Check(v);
    if (!native || is_enum(tp)) return object_value(v, depth);
    if (PyUnicode_Check(v)) return text(v);
    if (PyLong_Check(v)) return integer(v);  // bool is final: never a subclass here
    if (PyFloat_Check(v)) return mp::write_f64(out_, PyFloat_AS_DOUBLE(v));
    if (PyDict_Check(v)) return mapping(v, depth);
    if (PyList_Check(v)) return sequence(v, depth, 0);
    if (PyTuple_Check(v)) return sequence(v, depth, kExtTuple);
    if (PyAnySet_Check(v))
      return sequence(v, depth, PyFrozenSet_Check(v) ? kExtFrozenset : kExtSet);
    if (PyBytes_Check(v)) return binary(PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v));
    if (PyByteArray_Check(v)) return binary(PyByteArray_AS_STRING(v), PyByteArray_GET_SIZE(v));
    view(v);
  }

  // ---- leaves -----------------------------------------------------------------

  void text(PyObject* s) {
    const TextHead head(s, text_room());
    mp::write_str(out_, head.view());
    budget_ -= static_cast<int64_t>(head.view().size());
  }

  void repr_text(std::string_view s) {
    mp::write_ext_header(out_, kExtRepr, mp::checked_count(s.size()));
    out_.append(s);
    budget_ -= static_cast<int64_t>(s.size());
  }
  void marker(std::string_view s) { repr_text(s); }
  void repr_text(PyObject* str) {
    const TextHead head(str, kMaxStringChars);
    repr_text(head.view());
  }

  void repr_value(PyObject* v) {
    DefaultRepr r;
    if (default_repr(v, r) && r.chars <= static_cast<size_t>(kMaxStringChars)) {
      // As repr_text() of the text, written in its parts.
      const size_t n = r.bytes();
      mp::write_ext_header(out_, kExtRepr, mp::checked_count(n));
      r.append_to(out_);
      budget_ -= static_cast<int64_t>(n);
      return;
    }
    if (PyFunction_Check(v) && known_repr_text(v)) return;
    repr_text(safe_repr(v).get());
  }

  // As repr_text() of known_repr's text, when it has one of kMaxStringChars
  // characters at the most.
  bool known_repr_text(PyObject* v) {
    size_t chars = 0;
    if (!known_repr(v, text_, chars) || chars > static_cast<size_t>(kMaxStringChars)) return false;
    repr_text(text_);
    return true;
  }

  void integer(PyObject* v) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) {
      if (x == -1 && PyErr_Occurred()) throw_py();
      return mp::write_int(out_, x);
    }
    if (overflow > 0) {
      const unsigned long long u = PyLong_AsUnsignedLongLong(v);
      if (u != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
        return mp::write_uint(out_, u);
      }
      PyErr_Clear();  // above 2**64-1
    }
    repr_text(int_text(v).get());
  }

  void binary(const char* data, Py_ssize_t total) {
    if (total <= kMaxBytes) {
      mp::write_bin(out_, {data, static_cast<size_t>(total)});
      budget_ -= total;
      return;
    }
    std::string head(data, static_cast<size_t>(kMaxBytes));
    head += "...<";
    head += std::to_string(total - kMaxBytes);
    head += " more bytes>";
    mp::write_bin(out_, head);
    budget_ -= static_cast<int64_t>(head.size());
  }

  void view(PyObject* v) {
    Py_buffer buffer;
    if (PyObject_GetBuffer(v, &buffer, PyBUF_FULL_RO) < 0) {
      PyErr_Clear();  // released: its repr says so
      return repr_value(v);
    }
    struct Release {
      Py_buffer* b;
      ~Release() {
        if (python_usable()) PyBuffer_Release(b);
      }
    } release{&buffer};
    const Py_ssize_t total = buffer.len;
    // binary() reads no more than the head it writes.
    if (PyBuffer_IsContiguous(&buffer, 'C'))
      return binary(static_cast<const char*>(buffer.buf), total);
    if (total > kMaxBytes) return repr_value(v);  // only contiguous views are cut cheaply
    std::string copy(static_cast<size_t>(total), '\0');
    if (PyBuffer_ToContiguous(copy.data(), &buffer, total, 'C') < 0) throw_py();
    binary(copy.data(), total);
  }

  // ---- containers -------------------------------------------------------------

  // False (with a marker written) when v must not be expanded here.
  bool enter(PyObject* v, int depth) {
    if (depth >= kMaxDepth) [[unlikely]] {
      refuse(v, "<", " nested too deep>");
      return false;
    }
    if (std::find(path_, path_ + path_len_, v) != path_ + path_len_) [[unlikely]] {
      refuse(v, "<cycle: ", ">");
      return false;
    }
    return true;
  }

  // The marker of a container enter() refuses, out of the common path.
  [[gnu::cold, gnu::noinline]] void refuse(PyObject* v, std::string_view head,
                                           std::string_view tail) {
    std::string text(head);
    text += type_name(Py_TYPE(v));
    text += tail;
    marker(text);
  }

  // A list, tuple, set or frozenset; ext 0 writes a plain array.
  void sequence(PyObject* v, int depth, int8_t ext) {
    if (!enter(v, depth)) return;
    const Py_ssize_t total = container_size(v);
    Snapshot snap(held_);
    const Py_ssize_t n = hold_items(held_, v, kMaxItems);
    const size_t ext_at = out_.size();
    if (ext != 0) out_.append(kExtReserve, '\0');
    const size_t header_at = out_.size();
    const auto count = static_cast<uint32_t>(n + (total > n));
    mp::write_array_header(out_, count);
    path_[path_len_++] = v;
    bool cut = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (budget_ < 0 || over_cap()) {
        if (budget_ < 0) {
          marker(kOutputLimitMarker);
        } else {
          more_items(total - i);
        }
        patch_count(out_, header_at, count, static_cast<uint32_t>(i + 1), false);
        cut = true;
        break;
      }
      const Share share(*this, n - i);
      full(snap.item(i), depth + 1);
    }
    --path_len_;
    if (!cut && total > n) more_items(total - n);
    if (ext != 0) finish_ext(out_, ext_at, ext);
  }

  void mapping(PyObject* v, int depth) {
    if (!enter(v, depth)) return;
    Snapshot snap(held_);
    const Py_ssize_t n = hold_dict_items(held_, v, kMaxItems);
    path_[path_len_++] = v;
    // A dict at the top stands for a frame's locals: each entry is a value
    // of its own under the byte cap.
    entries(snap, n, PyDict_GET_SIZE(v), depth, false, depth == 0);
    --path_len_;
  }

  // ---- objects that are not built-in values -----------------------------------

  // Written by a repr known to be pure (or vouched for), else by its fields.
  void object_value(PyObject* v, int depth) {
    if (policy_->mode != ValuesMode::Repr) {
      if (PyModule_CheckExact(v)) return repr_text(module_text(v));
      if (PyType_Check(v)) {
        if (!known_repr_text(v)) repr_text(class_text(v).get());
        return;
      }
    }
    const TypeFacts* facts = nullptr;
    const Verdict verdict = object_verdict(v, *policy_, facts);
    if (verdict == Verdict::Repr) return repr_value(v);
    if (!enter(v, depth)) return;
    // Past kMaxObjectDepth, and inside another object for one of more than
    // kMaxNestedObjectFields fields, only objects of short plain fields are
    // written whole; others are brief (their type and how many fields they
    // have).
    const bool brief = objects_ >= kMaxObjectDepth;
    const auto too_wide = [&](Py_ssize_t fields) {
      return objects_ > 0 && fields > kMaxNestedObjectFields;
    };
    // An object of a few plain fields (the common case) is written from its
    // own storage: nothing written runs code that could change or free them.
    PyObject* borrowed[2 * kBorrowedFields];
    Py_ssize_t count = 0;
    if (verdict == Verdict::Fields &&
        borrow_fields(v, *facts, kBorrowedFields, borrowed, count)) {
      if (count == 0 && Py_TYPE(v)->tp_repr == PyBaseObject_Type.tp_repr) return repr_value(v);
      if (compact_object(v, qualified_type_name(*facts), borrowed, count)) return;
      if (brief || too_wide(count)) {
        return object_entries(v, *facts, BorrowedPairs{borrowed}, 0, count, depth);
      }
      if (borrowable(borrowed, count)) {
        return object_entries(v, *facts, BorrowedPairs{borrowed}, count, count, depth);
      }
      Snapshot snap(held_);
      held_.reserve_more(2 * static_cast<size_t>(count));
      for (Py_ssize_t i = 0; i < 2 * count; ++i) held_.hold(borrowed[i]);
      return object_entries(v, *facts, snap, count, count, depth);
    }
    Snapshot snap(held_);
    Py_ssize_t total = 0;
    // Inside another object, more fields than kMaxNestedObjectFields are not
    // written: no more are taken.
    const Py_ssize_t limit = brief ? 0 : objects_ > 0 ? kMaxNestedObjectFields : kMaxItems;
    const Py_ssize_t n = collect_fields(v, *facts, verdict, limit, held_.stack(), total);
    if (total == 0 && Py_TYPE(v)->tp_repr == PyBaseObject_Type.tp_repr) {
      return repr_value(v);  // object's own repr: the same facts, as text
    }
    object_entries(v, *facts, snap, brief || too_wide(total) ? 0 : n, total, depth);
  }

  // Most bytes compact_object() writes: the ext header's room, the array
  // header, the name, the address, the map header, then 15 fields of a
  // fixstr name and a value of at most 32 bytes.
  static constexpr size_t kCompactBytes = kExtReserve + 1 + 32 + kMaxUintBytes + 1 + 15 * (32 + 32);

  // What object_entries() writes for v and its borrowed pairs, in one
  // append, when every name is a short ASCII str and every value None, a
  // bool, a float, an int of 64 bits or a short ASCII str, no value is
  // secret, and writing them reaches neither the budget nor the byte cap (so
  // that no marker is due). False, with nothing written, otherwise.
  bool compact_object(PyObject* v, const std::string& name, PyObject* const* pairs,
                      Py_ssize_t n) {
    if (n >= 16 || name.size() >= 32) return false;
    char buf[kCompactBytes];
    char* p = buf;
    std::memset(p, 0, kExtReserve);
    p += kExtReserve;
    *p++ = '\x93';  // the array header of three items
    p += encode_fixstr(p, name.data(), name.size());
    p += encode_address(p, v);
    *p++ = static_cast<char>(0x80 | n);  // a fixmap
    int64_t cost = static_cast<int64_t>(name.size());
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* k = pairs[2 * i];
      PyObject* x = pairs[2 * i + 1];
      if (!short_ascii(k) || (redacts(x) && red_.is_secret(k))) return false;
      const auto k_size = static_cast<size_t>(PyUnicode_GET_LENGTH(k));
      p += encode_fixstr(p, static_cast<const char*>(PyUnicode_DATA(k)), k_size);
      cost += static_cast<int64_t>(k_size) + 1;
      PyTypeObject* tp = Py_TYPE(x);
      if (tp == &PyFloat_Type) {
        const uint64_t bits = std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(x));
        *p++ = '\xcb';
        for (int b = 0; b < 8; ++b) *p++ = static_cast<char>(bits >> (56 - 8 * b));
      } else if (x == Py_None) {
        *p++ = '\xc0';
      } else if (tp == &PyBool_Type) {
        *p++ = x == Py_True ? '\xc3' : '\xc2';
      } else if (tp == &PyLong_Type) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(x, &overflow);
        if (overflow != 0) return false;  // wider ints: integer() writes them
        p += encode_int(p, static_cast<int64_t>(value));
      } else if (short_ascii(x)) {
        const auto x_size = static_cast<size_t>(PyUnicode_GET_LENGTH(x));
        p += encode_fixstr(p, static_cast<const char*>(PyUnicode_DATA(x)), x_size);
        cost += static_cast<int64_t>(x_size);
      } else {
        return false;
      }
    }
    const auto size = static_cast<size_t>(p - buf);
    // Every check of the general path passes: the budget stays non-negative
    // and the cap is not passed even after the last field.
    if (budget_ - cost < 0 || out_.size() + size > limit_) return false;
    budget_ -= cost;
    // ext8 for a payload of 17 to 255 bytes (the usual size); finish_ext()
    // picks the header of any other.
    const size_t payload = size - kExtReserve;
    if (payload > 16 && payload < 256) {
      buf[0] = '\xc7';
      buf[1] = static_cast<char>(payload);
      buf[2] = static_cast<char>(kExtObject);
      out_.append(buf, size);
      return true;
    }
    const size_t ext_at = out_.size();
    out_.append(buf, size);
    finish_ext(out_, ext_at, kExtObject);
    return true;
  }

  // [qualified type name, address, fields] in the object extension. `facts`
  // is read before any Python code runs.
  template <class Pairs>
  void object_entries(PyObject* v, const TypeFacts& facts, const Pairs& pairs, Py_ssize_t n,
                      Py_ssize_t total, int depth) {
    const size_t ext_at = out_.size();
    // Kept with the type's facts: no copy per object.
    const std::string& name = qualified_type_name(facts);
    // The ext header's room, the array header of three items, the name as a
    // fixstr and the address, in one append.
    char head[kExtReserve + 2 + 31 + kMaxUintBytes] = {};
    size_t size = kExtReserve;
    head[size++] = '\x93';
    if (name.size() < 32) {
      size += encode_fixstr(head + size, name.data(), name.size());
      size += encode_address(head + size, v);
      out_.append(head, size);
    } else {
      out_.append(head, size);
      mp::write_str(out_, name);
      out_.append(head + kExtReserve + 1, encode_address(head + kExtReserve + 1, v));
    }
    budget_ -= static_cast<int64_t>(name.size());
    path_[path_len_++] = v;
    ++objects_;
    entries(pairs, n, total, depth, false, false);
    --objects_;
    --path_len_;
    finish_ext(out_, ext_at, kExtObject);
  }

  // "<module 'name'>", from the module's dict: a module's own repr runs the
  // import system's Python code.
  static std::string module_text(PyObject* m) {
    PyObject* name = PyDict_GetItemWithError(PyModule_GetDict(m), interned().dunder_name);
    const auto text = name != nullptr && PyUnicode_Check(name) ? try_str_view(name) : std::nullopt;
    if (!text) {
      PyErr_Clear();
      return "<module '?'>";
    }
    return "<module '" + std::string(*text) + "'>";
  }

  // "<class 'module.QualName'>", as type's own repr writes it whatever v's
  // metaclass: it reads the class's own storage (its __module__ in its dict,
  // its qualname) and runs none of the program's code, where a metaclass's
  // repr would. A class is written so in every mode but "repr", its dict
  // being what the class defines, not what a value of it holds.
  static Ref class_text(PyObject* v) { return Ref::check(PyType_Type.tp_repr(v)); }

  // Text for v without running its code: its repr when that is known to be
  // pure, else object's default text, "<module.QualName object at 0x...>".
  std::string object_text(PyObject* v) {
    if (PyType_Check(v)) {
      std::string text;
      size_t chars = 0;
      if (known_repr(v, text, chars) && chars <= static_cast<size_t>(kMaxStringChars)) return text;
      return std::string(TextHead(class_text(v).get(), kMaxStringChars).view());
    }
    if (object_verdict(v, *policy_) == Verdict::Repr) {
      return std::string(TextHead(safe_repr(v).get(), kMaxStringChars).view());
    }
    char address[2 * sizeof(uintptr_t) + 1];
    const auto [end, ec] = std::to_chars(address, address + sizeof address,
                                         reinterpret_cast<uintptr_t>(v), 16);
    (void)ec;
    return "<" + qualified_type_name(Py_TYPE(v)) + " object at 0x" +
           std::string(address, static_cast<size_t>(end - address)) + ">";
  }

  // Past the limit of the value (or entry) being written.
  bool over_cap() const noexcept { return out_.size() > limit_; }

  // A value of its own begins here: it may write cap_ bytes.
  void start_value() noexcept {
    limit_ = cap_ > 0 ? out_.size() + cap_ : SIZE_MAX;
  }

  // While alive, the next entry of a container, one of `left` still to be
  // written, may use at most its fair share of the bytes left under the
  // limit: (bytes left) / left, and no less than kMinShare. One large entry
  // cannot use up the bytes of the entries after it, and a deep graph is cut
  // at each level it descends. Restores the container's limit.
  class Share {
   public:
    Share(Dumper& d, Py_ssize_t left) : d_(d), saved_(d.limit_) {
      const size_t at = d.out_.size();
      if (d.limit_ == SIZE_MAX || at >= d.limit_ || left <= 1) return;
      const size_t share = std::max((d.limit_ - at) / static_cast<size_t>(left), kMinShare);
      d.limit_ = std::min(d.limit_, at + share);
    }
    ~Share() { d_.limit_ = saved_; }
    Share(const Share&) = delete;
    Share& operator=(const Share&) = delete;

   private:
    Dumper& d_;
    size_t saved_;
  };

  // Characters a text written now may keep: kMaxStringChars, or the bytes
  // left under the limit when fewer (but no fewer than kMinShare).
  Py_ssize_t text_room() const noexcept {
    if (limit_ == SIZE_MAX) return kMaxStringChars;
    const size_t at = out_.size();
    const size_t room = at < limit_ ? std::max(limit_ - at, kMinShare) : kMinShare;
    return static_cast<Py_ssize_t>(std::min(room, static_cast<size_t>(kMaxStringChars)));
  }

  void more_items(Py_ssize_t more) { marker("<" + std::to_string(more) + " more items>"); }

  // The entries of a map: names as text, values in the full or light form.
  // With `roots`, each entry's value is a value of its own under the byte cap.
  template <class Pairs>
  void entries(const Pairs& snap, Py_ssize_t n, Py_ssize_t total, int depth, bool light,
               bool roots) {
    const size_t header_at = out_.size();
    const auto count = static_cast<uint32_t>(n + (total > n));
    mp::write_map_header(out_, count);
    // Distinct keys may end up as one text (1 and "1", two long texts cut
    // alike); only exact str keys short enough to be written whole cannot.
    bool plain = true;
    for (Py_ssize_t i = 0; i < n && plain; ++i) {
      PyObject* k = snap.key(i);
      plain = PyUnicode_CheckExact(k) && PyUnicode_GET_LENGTH(k) <= kMaxStringChars;
    }
    std::vector<std::string> taken;
    bool cut = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (budget_ < 0 || (!roots && over_cap())) {
        mp::write_str(out_, kTruncatedKey);
        if (budget_ < 0) {
          marker(kOutputLimitMarker);
        } else {
          more_items(total - i);
        }
        patch_count(out_, header_at, count, static_cast<uint32_t>(i + 1), true);
        cut = true;
        break;
      }
      PyObject* k = snap.key(i);
      PyObject* x = snap.value(i);
      bool secret;
      if (plain) {
        budget_ -= static_cast<int64_t>(write_name(k));
        secret = redacts(x) && red_.is_secret(k);
      } else {
        std::string name = key_text(k);
        if (std::find(taken.begin(), taken.end(), name) != taken.end()) {
          const std::string suffix = " <" + type_name(Py_TYPE(k)) + ">";
          while (std::find(taken.begin(), taken.end(), name) != taken.end()) name += suffix;
        }
        mp::write_str(out_, name);
        budget_ -= static_cast<int64_t>(name.size());
        // Only text keys are names: the repr of an object key is not judged.
        secret = redacts(x) && PyUnicode_Check(k) && !is_enum(Py_TYPE(k)) &&
                 red_.is_secret(std::string_view(name));
        taken.push_back(std::move(name));
      }
      if (roots) start_value();
      const Share share(*this, roots ? 1 : n - i);
      if (secret) {
        --budget_;
        marker(kRedacted);
      } else if (light) {
        short_value(x);
      } else {
        full(x, depth + 1);
      }
    }
    if (!cut && total > n) {
      mp::write_str(out_, kTruncatedKey);
      more_items(total - n);
    }
  }

  // Writes the str k whole as a map key; returns its size in bytes.
  size_t write_name(PyObject* k) {
    const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(k));
    if (PyUnicode_IS_COMPACT_ASCII(k) && n < 32) {  // a fixstr, in one append
      char buf[32];
      out_.append(buf, encode_fixstr(buf, static_cast<const char*>(PyUnicode_DATA(k)), n));
      return n;
    }
    const Utf8Text name = utf8_text(k);
    mp::write_str(out_, name.text());
    return name.text().size();
  }

  // The text a map key is written as.
  std::string key_text(PyObject* k) {
    PyTypeObject* tp = Py_TYPE(k);
    if (PyUnicode_Check(k) && (tp == &PyUnicode_Type || !is_enum(tp))) {
      return std::string(TextHead(k, kMaxStringChars).view());
    }
    if (tp != &PyLong_Type && policy_->mode != ValuesMode::Repr && !pure_key(k, 0)) {
      return object_text(k);
    }
    Ref text = tp == &PyLong_Type ? int_text(k) : safe_repr(k);
    return std::string(TextHead(text.get(), kMaxStringChars).view());
  }

  // Whether the repr of the key k runs no user code: built-in values, and
  // exact tuples and frozensets of such keys (hashable keys are rarely more).
  bool pure_key(PyObject* k, int depth) {
    PyTypeObject* tp = Py_TYPE(k);
    if (is_leaf_type(tp)) return true;
    if ((tp == &PyTuple_Type || tp == &PyFrozenSet_Type) && depth < kMaxDepth) {
      Snapshot snap(held_);
      const Py_ssize_t n = hold_items(held_, k, container_size(k));
      for (Py_ssize_t i = 0; i < n; ++i) {
        if (!pure_key(snap.item(i), depth + 1)) return false;
      }
      return true;
    }
    return object_verdict(k, *policy_) == Verdict::Repr;
  }

  // None and booleans hold no secret and tell whether one was given.
  bool redacts(PyObject* x) const noexcept {
    return red_.active() && x != Py_None && !PyBool_Check(x);
  }

  // ---- short reprs (the lightweight form) -------------------------------------

  // Short plain values (None, bool, an int that fits 64 bits, a float, an
  // exact str of at most kLightweightReprChars characters) are written as
  // themselves, so that a record's names and numbers read back as they are;
  // everything else is its short repr.
  void short_value(PyObject* v) {
    if (--budget_ < 0) return marker(kOutputLimitMarker);
    PyTypeObject* tp = Py_TYPE(v);
    if (v == Py_None) return mp::write_nil(out_);
    if (tp == &PyBool_Type) return mp::write_bool(out_, v == Py_True);
    if (tp == &PyFloat_Type) return mp::write_f64(out_, PyFloat_AS_DOUBLE(v));
    if (tp == &PyUnicode_Type && PyUnicode_GET_LENGTH(v) <= kLightweightReprChars) return text(v);
    if (tp == &PyLong_Type && plain_int(v)) return;
    repr_text(short_repr(v));
  }

  // Writes the exact int v as an integer when it fits 64 bits (signed or
  // not); false, with nothing written, otherwise.
  bool plain_int(PyObject* v) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) {
      if (x == -1 && PyErr_Occurred()) throw_py();
      mp::write_int(out_, static_cast<int64_t>(x));
      return true;
    }
    if (overflow < 0) return false;
    const unsigned long long u = PyLong_AsUnsignedLongLong(v);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    mp::write_uint(out_, static_cast<uint64_t>(u));
    return true;
  }

  // The repr of v cut to kLightweightReprChars characters plus "...". Long
  // built-in texts, binaries and containers are cut before their repr is
  // built; dicts, lists and tuples that show a secret entry within the cut
  // are written by ShortEntries, with the secret values redacted.
  std::string short_repr(PyObject* v) {
    PyTypeObject* tp = Py_TYPE(v);
    constexpr Py_ssize_t limit = kLightweightReprChars;
    if (tp == &PyUnicode_Type) {
      Ref head = PyUnicode_GET_LENGTH(v) > limit ? Ref::check(PyUnicode_Substring(v, 0, limit))
                                                 : Ref::incref(v);
      return short_text(Ref::check(PyObject_Repr(head.get())).get());
    }
    if (tp == &PyBytes_Type || tp == &PyByteArray_Type) {
      const bool bytes = tp == &PyBytes_Type;
      const Py_ssize_t n = bytes ? PyBytes_GET_SIZE(v) : PyByteArray_GET_SIZE(v);
      Ref head = Ref::incref(v);
      if (n > limit) {
        const char* data = bytes ? PyBytes_AS_STRING(v) : PyByteArray_AS_STRING(v);
        head = Ref::check(bytes ? PyBytes_FromStringAndSize(data, limit)
                                : PyByteArray_FromStringAndSize(data, limit));
      }
      return short_text(Ref::check(PyObject_Repr(head.get())).get());
    }
    if (tp == &PyLong_Type) return short_text(int_text(v).get());
    if (tp == &PyFloat_Type || tp == &PyBool_Type || v == Py_None) {
      return short_text(Ref::check(PyObject_Repr(v)).get());  // short anyway
    }
    if (tp == &PyList_Type || tp == &PyTuple_Type || tp == &PyDict_Type || tp == &PySet_Type ||
        tp == &PyFrozenSet_Type) {
      const Py_ssize_t n = container_size(v);
      if (n > limit) {
        // The built-in repr would walk every item, and each item takes at
        // least one character: none past the first `limit` could show.
        return "<" + type_name(tp) + " of " + std::to_string(n) + " items>";
      }
      // Containers of leaves: the built-in repr, which is short. Others are
      // written by ShortEntries, which stops at the cut (the built-in repr of
      // nested containers can be enormous) and redacts secret entries.
      const Base base = entries_base(tp);
      if (base == Base::None && policy_->mode != ValuesMode::Repr && !set_of_leaves(v)) {
        return short_set(v);
      }
      if (base == Base::None || plain_container(v, base)) return short_text(safe_repr(v).get());
      return short_entries(v, base);
    }
    if (policy_->mode != ValuesMode::Repr) {
      if (PyModule_CheckExact(v)) return module_text(v);
      if (PyType_Check(v)) return short_text(class_text(v).get());
      if (object_verdict(v, *policy_) != Verdict::Repr) {
        if (const Base base = entries_base(tp); base != Base::None) return short_entries(v, base);
        if (PyAnySet_Check(v)) return short_set(v);
        // Subclasses of the built-in values: the built-in type's own repr.
        PyTypeObject* native = PyUnicode_Check(v)     ? &PyUnicode_Type
                               : PyLong_Check(v)      ? &PyLong_Type
                               : PyFloat_Check(v)     ? &PyFloat_Type
                               : PyBytes_Check(v)     ? &PyBytes_Type
                               : PyByteArray_Check(v) ? &PyByteArray_Type
                                                      : nullptr;
        if (native == &PyLong_Type) return short_text(int_text(v).get());
        if (native != nullptr && (!PyUnicode_Check(v) || PyUnicode_GET_LENGTH(v) <= limit) &&
            (!PyBytes_Check(v) || PyBytes_GET_SIZE(v) <= limit) &&
            (!PyByteArray_Check(v) || PyByteArray_GET_SIZE(v) <= limit)) {
          return short_text(Ref::check(native->tp_repr(v)).get());
        }
        if (native != nullptr) return "<" + type_name(tp) + " of length " +
                                      std::to_string(PyObject_Length(v)) + ">";
        return short_object(v);
      }
    }
    if (red_.active()) {
      if (const Base base = entries_base(tp); base != Base::None) return redacted_repr(v, base);
    }
    if (DefaultRepr r;
        default_repr(v, r) && r.chars <= static_cast<size_t>(kLightweightReprChars)) {
      std::string text;
      r.append_to(text);
      return text;
    }
    return short_text(safe_repr(v).get());
  }

  bool set_of_leaves(PyObject* v) {
    Snapshot snap(held_);
    const Py_ssize_t n = hold_items(held_, v, PySet_GET_SIZE(v));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!is_leaf_type(Py_TYPE(snap.item(i)))) return false;
    }
    return true;
  }

  // A set's short text, its items as their short reprs: "{a, b}", or
  // "TypeName({a, b})" for a subclass.
  std::string short_set(PyObject* v) {
    PyTypeObject* tp = Py_TYPE(v);
    const bool exact = tp == &PySet_Type || tp == &PyFrozenSet_Type;
    std::string text = exact ? "{" : type_name(tp) + "({";
    if (PySet_GET_SIZE(v) == 0) return exact ? type_name(tp) + "()" : text + "})";
    Snapshot snap(held_);
    const Py_ssize_t n = hold_items(held_, v, kLightweightReprChars);
    for (Py_ssize_t i = 0; i < n && text.size() <= kLightweightReprChars; ++i) {
      if (i > 0) text += ", ";
      text += short_repr(snap.item(i));
    }
    text += exact ? "}" : "})";
    cut_utf8(text, kLightweightReprChars);
    return text;
  }

  // The short text of an object written by its fields: "QualName(a=1, b=...)",
  // or object's default text when it holds none.
  std::string short_object(PyObject* v) {
    PyTypeObject* tp = Py_TYPE(v);
    if (std::find(short_path_, short_path_ + short_len_, v) != short_path_ + short_len_) {
      return "<cycle: " + type_name(tp) + ">";
    }
    if (short_len_ >= kMaxDepth) return "<" + type_name(tp) + " nested too deep>";
    Snapshot snap(held_);
    Py_ssize_t total = 0;
    const Verdict verdict = object_verdict(v, *policy_);
    const Py_ssize_t n = collect_fields(v, verdict, kLightweightReprChars, held_.stack(), total);
    if (total == 0) return object_text(v);
    short_path_[short_len_++] = v;
    struct Pop {
      int& len;
      ~Pop() { --len; }
    } pop{short_len_};
    std::string text = type_name(tp) + "(";
    for (Py_ssize_t i = 0; i < n && text.size() <= kLightweightReprChars; ++i) {
      if (i > 0) text += ", ";
      PyObject* k = snap.key(i);
      PyObject* x = snap.value(i);
      text += PyUnicode_Check(k) ? std::string(TextHead(k, kLightweightReprChars).view()) : "?";
      text += "=";
      if (redacts(x) && PyUnicode_Check(k) && red_.is_secret(k)) {
        text += kRedacted;
      } else {
        text += short_repr(x);
      }
    }
    if (total > n) text += ", ...";
    text += ")";
    cut_utf8(text, kLightweightReprChars);
    return text;
  }

  // Whether the exact dict, list or tuple v certainly shows no secret entry.
  bool plain_container(PyObject* v, Base base) {
    if (base != Base::Dict) {
      const bool list = base == Base::List;
      const Py_ssize_t n = list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v);
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i);
        if (!is_leaf_type(Py_TYPE(item))) return false;
      }
      return true;
    }
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(v, &pos, &key, &value)) {
      if (!is_leaf_type(Py_TYPE(value)) || !PyUnicode_CheckExact(key)) return false;
      // No Python code runs in a verdict: the dict cannot change under the loop.
      if (redacts(value) && red_.is_secret(key)) return false;
    }
    return true;
  }

  // Whether the entry k: value is redacted in a short repr. Only text keys
  // are names there.
  bool entry_redacts(PyObject* k, PyObject* value) {
    if (!redacts(value)) return false;
    PyTypeObject* tk = Py_TYPE(k);
    if (tk == &PyUnicode_Type) {
      if (PyUnicode_GET_LENGTH(k) <= kMaxStringChars) return red_.is_secret(k);
    } else if (!PyUnicode_Check(k) || is_enum(tk)) {
      return false;
    }
    return red_.is_secret(TextHead(k, kMaxStringChars).view());
  }

  std::string short_entries(PyObject* v, Base base) {
    std::string text = ShortEntries(*this).text(v, base);
    cut_utf8(text, kLightweightReprChars);
    return text;
  }

  // A subclass of dict, list or tuple is shown by its own repr, unless a
  // secret entry would show in it.
  bool shows_secret(PyObject* v, Base base, int depth) {
    return red_.active() && scan(v, base, depth, kLightweightReprChars + 1) < 0;
  }

  std::string redacted_repr(PyObject* v, Base base) {
    if (shows_secret(v, base, 1)) return short_entries(v, base);
    return short_text(safe_repr(v).get());
  }

  // Pre-order walk of the first `budget` items of the container x. The short
  // repr of a container shows its first items only, and every item (a value,
  // a key, an opening bracket) takes at least one character, so items past
  // the first kLightweightReprChars cannot show. Returns -1 when a secret
  // entry is among them (or a container nested deeper than kMaxDepth, which
  // is not entered), else the budget left, 0 once it is used up. Reads the
  // containers through the built-in types only; runs no user code.
  Py_ssize_t scan(PyObject* x, Base base, int depth, Py_ssize_t budget) {
    if (--budget <= 0) return 0;
    if (depth > kMaxDepth) return -1;
    Snapshot snap(held_);
    if (base == Base::Dict) {
      const Py_ssize_t n = hold_dict_items(held_, x, budget);
      for (Py_ssize_t i = 0; i < n; ++i) {
        if (--budget <= 0) return 0;
        if (entry_redacts(snap.key(i), snap.value(i))) return -1;
        budget = scan_item(snap.value(i), depth, budget);
        if (budget <= 0) return budget;
      }
      return budget;
    }
    const Py_ssize_t n = hold_items(held_, x, budget);
    for (Py_ssize_t i = 0; i < n; ++i) {
      budget = scan_item(snap.item(i), depth, budget);
      if (budget <= 0) return budget;
    }
    return budget;
  }

  Py_ssize_t scan_item(PyObject* y, int depth, Py_ssize_t budget) {
    PyTypeObject* ty = Py_TYPE(y);
    const Base base = entries_base(ty);
    if (base == Base::None) return budget - 1;
    const bool exact = ty == &PyDict_Type || ty == &PyList_Type || ty == &PyTuple_Type;
    if (exact) {
      const Py_ssize_t n = container_size(y);
      if (n < budget && plain_container(y, base)) {
        return std::max<Py_ssize_t>(budget - 1 - (base == Base::Dict ? 2 * n : n), 0);
      }
    }
    return scan(y, base, depth + 1, budget);
  }

  // Writes the head of a container's repr with the values of secret entries
  // redacted. Dicts, lists and tuples are written as the built-in reprs write
  // them (a subclass that shows a secret inside "TypeName(...)"), any other
  // item as its short repr. Writing stops once the text is longer than the cut.
  class ShortEntries {
   public:
    explicit ShortEntries(Dumper& d) : d_(d) {}

    std::string text(PyObject* x, Base base) {
      container(x, base, 1);
      return std::move(text_);
    }

   private:
    void put(std::string_view s) {
      text_.append(s);
      room_ -= static_cast<Py_ssize_t>(count_code_points(s));
    }

    void item(PyObject* y, int depth) {
      PyTypeObject* ty = Py_TYPE(y);
      const Base base = entries_base(ty);
      const bool exact = ty == &PyDict_Type || ty == &PyList_Type || ty == &PyTuple_Type;
      if (base == Base::None) return put(d_.short_repr(y));
      if (!exact && d_.policy_->mode == ValuesMode::Repr && !d_.shows_secret(y, base, depth)) {
        return put(short_text(safe_repr(y).get()));
      }
      container(y, base, depth);
    }

    void container(PyObject* x, Base base, int depth) {
      static constexpr std::string_view kRecursion[] = {"", "{...}", "[...]", "(...)"};
      static constexpr std::string_view kOpen[] = {"", "{", "[", "("};
      static constexpr std::string_view kClose[] = {"", "}", "]", ")"};
      const auto b = static_cast<size_t>(base);
      if (std::find(path_, path_ + path_len_, x) != path_ + path_len_) return put(kRecursion[b]);
      PyTypeObject* tp = Py_TYPE(x);
      if (depth > kMaxDepth) return put("<" + type_name(tp) + " nested too deep>");
      const bool exact = tp == &PyDict_Type || tp == &PyList_Type || tp == &PyTuple_Type;
      if (!exact) put(type_name(tp) + "(");
      put(kOpen[b]);
      Snapshot snap(d_.held_);
      path_[path_len_++] = x;
      struct Pop {
        int& len;
        ~Pop() { --len; }
      } pop{path_len_};
      if (base == Base::Dict) {
        const Py_ssize_t n = hold_dict_items(d_.held_, x, room_);
        for (Py_ssize_t i = 0; i < n; ++i) {
          if (room_ <= 0) return;
          if (i > 0) put(", ");
          put(d_.short_repr(snap.key(i)));
          put(": ");
          if (d_.entry_redacts(snap.key(i), snap.value(i))) {
            put(kRedacted);
          } else {
            item(snap.value(i), depth + 1);
          }
        }
      } else {
        const Py_ssize_t n = hold_items(d_.held_, x, room_);
        for (Py_ssize_t i = 0; i < n; ++i) {
          if (room_ <= 0) return;
          if (i > 0) put(", ");
          item(snap.item(i), depth + 1);
        }
        if (base == Base::Tuple && PyTuple_GET_SIZE(x) == 1) put(",");
      }
      put(kClose[b]);
      if (!exact) put(")");
    }

    Dumper& d_;
    std::string text_;
    Py_ssize_t room_ = kLightweightReprChars + 1;
    PyObject* path_[kMaxDepth + 2] = {};
    int path_len_ = 0;
  };

  Bytes& out_;
  Redactor& red_;
  Held held_;
  std::string text_;  // known_repr_text's text, its storage kept between values
  // The settings this dump started with (kept alive for it).
  std::shared_ptr<const ValuePolicy> policy_;
  // Most bytes one value writes (0: no cap), and the offset in out_ past
  // which the value or entry being written is cut (SIZE_MAX: never).
  size_t cap_;
  size_t limit_ = SIZE_MAX;
  // Objects written by their fields on the path to the current value.
  int objects_ = 0;
  // Objects whose short text is being built.
  PyObject* short_path_[kMaxDepth + 1] = {};
  int short_len_ = 0;
  int64_t budget_ = kMaxOutputUnits;
  // Containers being written (borrowed: each is held by its parent's
  // snapshot, or is the value the caller passed).
  PyObject* path_[kMaxDepth + 1] = {};
  int path_len_ = 0;
};

// What the dumps of one thread keep warm between calls: the snapshot stack
// and the output buffer of the outermost dump. A dump nested through a repr
// (a __repr__ that dumps) uses its own.
struct ThreadScratch {
  int nesting = 0;  // dumps running on this thread
  std::vector<PyObject*> held;
  Bytes out;
};
thread_local ThreadScratch t_scratch;

// Runs write(dumper) for one dump into `out`, under dump_value()'s contract.
template <class Write>
void dump_into(ThreadScratch& scratch, Bytes& out, Redactor& redactor, Write&& write) {
  const size_t start = out.size();
  struct Nesting {
    int& depth;
    explicit Nesting(int& d) : depth(++d) {}
    ~Nesting() { --depth; }
  } nesting(scratch.nesting);
  if (scratch.nesting <= kMaxNestedDumps) {
    std::vector<PyObject*> own;
    std::vector<PyObject*>& held = scratch.nesting == 1 ? scratch.held : own;
    try {
      Dumper dumper(out, redactor, held);
      write(dumper);
      return;
    } catch (const PyErrSet&) {
      out.resize(start);
      Ref exc = fetch_error();
      if (belongs_to_program(exc.get())) {
        restore_error(std::move(exc));
        throw;
      }
    } catch (const InternalFault&) {
      out.resize(start);
    } catch (const std::bad_alloc&) {
      out.resize(start);
    }
  }
  mp::write_ext_header(out, kExtRepr, static_cast<uint32_t>(kUnserializable.size()));
  out.append(kUnserializable);
}

void dump_into(ThreadScratch& scratch, Bytes& out, PyObject* value, DumpForm form,
               Redactor& redactor) {
  dump_into(scratch, out, redactor, [&](Dumper& dumper) {
    if (form == DumpForm::Full) {
      dumper.full(value, 0);
    } else {
      dumper.light(value);
    }
  });
}

}  // namespace

void prepare_dumpers() {
  prepare_object_state();
  if (g_enum_type != nullptr) return;
  Ref module = import("enum");
  Ref type = getattr(module.get(), "Enum");
  if (!PyType_Check(type.get())) {
    PyErr_SetString(PyExc_TypeError, "enum.Enum is not a type");
    throw_py();
  }
  g_enum_type = reinterpret_cast<PyTypeObject*>(type.release());
}

void dump_value(Bytes& out, PyObject* value, DumpForm form, Redactor& redactor) {
  dump_into(t_scratch, out, value, form, redactor);
}

void dump_named_values(Bytes& out, NamedValues values, DumpForm form, Redactor& redactor) {
  dump_into(t_scratch, out, redactor, [&](Dumper& dumper) { dumper.named_values(values, form); });
}

Ref dump_to_bytes(PyObject* value, DumpForm form, Redactor& redactor) {
  ThreadScratch& scratch = t_scratch;
  if (scratch.nesting > 0) {
    Bytes out;
    dump_into(scratch, out, value, form, redactor);
    return Ref::check(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
  }
  Bytes& out = scratch.out;
  out.clear();
  dump_into(scratch, out, value, form, redactor);
  Ref bytes =
      Ref::check(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
  // A huge value once must not pin its buffer for the life of the thread.
  if (out.capacity() > (size_t{1} << 20)) Bytes().swap(out);
  return bytes;
}

}  // namespace vask::dump
