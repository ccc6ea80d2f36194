#include "utils/names.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

#include "core/code_facts.hpp"
#include "support/per_thread.hpp"

namespace vask {

namespace {

// ---- small helpers (GIL held throughout) -----------------------------------

// Appends str(obj). Exact str objects are copied without the str() call.
void append_str(std::string& out, PyObject* obj) {
  if (PyUnicode_CheckExact(obj)) {
    if (std::optional<std::string_view> v = try_str_view(obj)) {
      out.append(*v);
      return;
    }
  }
  out.append(to_str(obj));
}

// mapping[key] as a new reference; an empty Ref when the key is missing
// (KeyError, cleared). Other lookup errors are thrown.
Ref lookup(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* v = PyDict_GetItemWithError(mapping, key);  // borrowed
    if (v == nullptr && PyErr_Occurred()) throw_py();
    return Ref::incref(v);
  }
  // Frame locals are a proxy on 3.13 and class bodies may use any mapping.
  Ref v = Ref::steal(PyObject_GetItem(mapping, key));
  if (!v) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_py();
    PyErr_Clear();  // absent key: the search goes on
  }
  return v;
}

// Appends globals["__name__"] as text, or "<unknown>" when it cannot be
// looked up (the lookup error is discarded, the name is only cosmetic).
void append_module_name(std::string& out, PyObject* globals) {
  Ref name;
  try {
    name = lookup(globals, interned().dunder_name);
  } catch (const PyErrSet&) {
    PyErr_Clear();
  }
  if (name) {
    append_str(out, name.get());
  } else {
    out.append("<unknown>");
  }
}

// frame.f_code; real frames skip the attribute lookup.
Ref frame_code(PyObject* frame) {
  if (PyFrame_Check(frame)) {
    return Ref::steal(
        reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame))));
  }
  return getattr(frame, interned().f_code);
}

// frame.f_globals; real frames skip the attribute lookup.
Ref frame_globals(PyObject* frame) {
  if (PyFrame_Check(frame)) {
#if PY_VERSION_HEX >= 0x030B0000
    return Ref::check(PyFrame_GetGlobals(reinterpret_cast<PyFrameObject*>(frame)));
#else
    return Ref::incref(reinterpret_cast<PyFrameObject*>(frame)->f_globals);
#endif
  }
  return getattr(frame, interned().f_globals);
}

// code.co_qualname, or an empty Ref when the code object has none
// (AttributeError, cleared). Other errors are thrown.
Ref code_qualname(PyObject* code) {
  if (PyCode_Check(code)) {
#if PY_VERSION_HEX >= 0x030B0000
    return Ref::incref(reinterpret_cast<PyCodeObject*>(code)->co_qualname);
#else
    return {};  // code objects gained co_qualname in 3.11
#endif
  }
  Ref q = Ref::steal(PyObject_GetAttr(code, interned().co_qualname));
  if (!q) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_py();
    PyErr_Clear();  // no co_qualname: fall back to the search by co_name
  }
  return q;
}

Ref code_name(PyObject* code) {
  if (PyCode_Check(code)) return Ref::incref(reinterpret_cast<PyCodeObject*>(code)->co_name);
  return getattr(code, interned().co_name);
}

// ---- the fallback search ----------------------------------------------------

// inspect.getattr_static and builtins.property, fetched on first use and kept
// for the life of the process (never released: they outlive any engine, and
// releasing after finalisation would be unsafe). Guarded by the GIL.
PyObject* g_getattr_static = nullptr;
PyObject* g_property = nullptr;

PyObject* getattr_static_fn() {
  if (g_getattr_static == nullptr) {
    Ref inspect = import("inspect");
    g_getattr_static = getattr(inspect.get(), "getattr_static").release();
  }
  return g_getattr_static;
}

PyObject* property_type() {
  if (g_property == nullptr) {
    Ref builtins = import("builtins");
    g_property = getattr(builtins.get(), "property").release();
  }
  return g_property;
}

Ref getattr_static(PyObject* obj, PyObject* name) {
  PyObject* args[] = {obj, name};
  return Ref::check(PyObject_Vectorcall(getattr_static_fn(), args, 2, nullptr));
}

// obj.__module__ + "." + obj.__qualname__, each through str().
std::string module_qualname(PyObject* obj) {
  const Interned& n = interned();
  Ref module = getattr(obj, n.dunder_module);
  Ref qualname = getattr(obj, n.dunder_qualname);
  std::string out;
  append_str(out, module.get());
  out.push_back('.');
  append_str(out, qualname.get());
  return out;
}

// The search itself; every Python error is thrown and turned into "no name"
// by the caller.
std::optional<std::string> search_qualname(PyObject* frame, PyObject* co_name) {
  const Interned& n = interned();

  Ref back = getattr(frame, n.f_back);
  if (back.get() == Py_None) return std::nullopt;

  // The caller names the function it called: a local function or a name
  // imported into the caller's scope.
  {
    Ref caller_locals = getattr(back.get(), n.f_locals);
    if (Ref found = lookup(caller_locals.get(), co_name)) return module_qualname(found.get());
  }

  Ref locals = getattr(frame, n.f_locals);
  getattr_static_fn();

  if (Ref self = lookup(locals.get(), n.self)) {
    Ref attribute = getattr_static(self.get(), co_name);
    const int is_property = PyObject_IsInstance(attribute.get(), property_type());
    if (is_property < 0) throw_py();
    if (is_property) attribute = getattr(attribute.get(), n.fget);
    return module_qualname(attribute.get());
  }

  if (Ref cls = lookup(locals.get(), n.cls); cls && PyType_Check(cls.get())) {
    Ref attribute = getattr_static(cls.get(), co_name);
    return module_qualname(attribute.get());
  }

  Ref globals = frame_globals(frame);
  // A class body: its namespace carries the class's own __qualname__.
  if (Ref qualname = lookup(locals.get(), n.dunder_qualname)) {
    std::string out;
    append_module_name(out, globals.get());
    out.push_back('.');
    append_str(out, qualname.get());
    return out;
  }

  if (Ref found = lookup(globals.get(), co_name)) return module_qualname(found.get());
  return std::nullopt;
}

// ---- paths ------------------------------------------------------------------

bool is_sep(char c) { return c == '/'; }

// Advances i past separators and "." components.
void skip_separators(std::string_view s, size_t& i) {
  while (i < s.size()) {
    if (is_sep(s[i])) {
      ++i;
    } else if (s[i] == '.' && (i + 1 == s.size() || is_sep(s[i + 1]))) {
      ++i;
    } else {
      break;
    }
  }
}

// The next component starting at i (after skip_separators), advancing i.
std::string_view next_component(std::string_view s, size_t& i) {
  const size_t start = i;
  while (i < s.size() && !is_sep(s[i])) ++i;
  return s.substr(start, i - start);
}

// Offset of what follows prefix in path when prefix is a component-wise
// prefix of path; npos otherwise. Repeated separators and "." components do
// not count; the remainder starts at its first real component.
size_t strip_components(std::string_view prefix, std::string_view path) {
  const bool prefix_absolute = !prefix.empty() && is_sep(prefix[0]);
  const bool path_absolute = !path.empty() && is_sep(path[0]);
  if (prefix_absolute != path_absolute) return std::string_view::npos;
  size_t i = 0;
  size_t j = 0;
  while (true) {
    skip_separators(prefix, i);
    skip_separators(path, j);
    if (i == prefix.size()) return j;
    std::string_view want = next_component(prefix, i);
    std::string_view have = next_component(path, j);
    if (want != have) return std::string_view::npos;
  }
}

// Length of the valid UTF-8 sequence at s[i], or 0 when it is invalid; on
// invalid input, *bad is set to the length of its maximal valid prefix (at
// least 1), which is replaced by a single U+FFFD.
size_t utf8_sequence(std::string_view s, size_t i, size_t* bad) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    *bad = 1;
    return 0;
  }
  for (size_t k = 1; k < len; ++k) {
    if (i + k >= s.size()) {
      *bad = k;
      return 0;
    }
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < lo || b > hi) {
      *bad = k;
      return 0;
    }
    lo = 0x80;
    hi = 0xBF;
  }
  return len;
}

// Appends text, replacing ill-formed UTF-8 by U+FFFD.
void append_lossy(std::string& out, std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    size_t bad = 0;
    const size_t len = utf8_sequence(text, i, &bad);
    if (len > 0) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      out.append("\xEF\xBF\xBD");
      i += bad;
    }
  }
}

bool is_valid_utf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t bad = 0;
    const size_t len = utf8_sequence(text, i, &bad);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// The working directory, read into a per-thread buffer so that the per-event
// path needs no allocation once the buffer is large enough. A name that is
// not UTF-8 is written as file names are (its bytes surrogate-escaped, then
// the escapes written out, see utf8_text), so that it still prefixes them.
// GIL held.
std::string_view read_current_directory() {
  thread_local std::vector<char> buf(4096);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) fault("Current directory is invalid");
    buf.resize(buf.size() * 2);
  }
  const std::string_view raw(buf.data());
  if (is_valid_utf8(raw)) return raw;
  thread_local std::string escaped;
  Ref text =
      Ref::steal(PyUnicode_DecodeFSDefaultAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size())));
  std::optional<Utf8Text> utf8 = text ? try_utf8_text(text.get()) : std::nullopt;
  if (!utf8) {
    PyErr_Clear();
    return raw;  // shown with replacement characters
  }
  escaped.assign(utf8->text());
  return escaped;
}

// The working directory changes rarely but is needed for every recorded
// event, and reading it is a system call. Once the module is loaded, an audit
// hook sees every os.chdir and os.fchdir (both raise the "os.chdir" event)
// just before the change: the cached value is dropped there, and the
// directory is read afresh on every use until the thread that changes it
// records its next event, by which time its change has happened. All of this
// state is read and written with the GIL held. A change made from C code
// without Python's os module is not seen.
struct WorkingDirectoryCache {
  bool watching = false;  // the audit hook is installed
  bool valid = false;
  bool change_pending = false;
  uint64_t changing_thread = 0;
  std::string value;
  // Advanced each time `value` is set; names the value for caches of what
  // depends on it. Never 0 once set.
  uint64_t generation = 0;
};
WorkingDirectoryCache g_cwd;

int watch_chdir(const char* event, PyObject*, void*) {
  if (std::strcmp(event, "os.chdir") == 0) {
    g_cwd.valid = false;
    g_cwd.change_pending = true;
    g_cwd.changing_thread = detail::current_thread_token();
  }
  return 0;
}

std::string_view current_directory() {
  if (!g_cwd.watching) return read_current_directory();
  if (g_cwd.valid) return g_cwd.value;
  std::string_view now = read_current_directory();
  if (!g_cwd.change_pending || g_cwd.changing_thread == detail::current_thread_token()) {
    g_cwd.value.assign(now);
    g_cwd.valid = true;
    ++g_cwd.generation;
    g_cwd.change_pending = false;
    return g_cwd.value;
  }
  return now;
}

}  // namespace

std::optional<std::string> get_qualname_inner(PyObject* frame, PyObject* co_name) {
  try {
    return search_qualname(frame, co_name);
  } catch (const PyErrSet&) {
    PyErr_Clear();  // the search is best effort: a failure means no name
    return std::nullopt;
  }
}

namespace {

// module.qualname from co_qualname, kept in the code object's facts while
// the module name stays the same object. False when the fast path does not
// apply (no co_qualname, globals that are not a dict, texts that are not
// exact str, whose str() could run code): the caller takes the general path.
bool cached_qualname(std::string& out, PyObject* frame, PyObject* code, CodeFacts* facts) {
#if PY_VERSION_HEX >= 0x030B0000
  if (!PyFrame_Check(frame) || !PyCode_Check(code)) return false;
  auto* f = reinterpret_cast<PyFrameObject*>(frame);
  auto* co = reinterpret_cast<PyCodeObject*>(code);
  if (!PyUnicode_CheckExact(co->co_qualname)) return false;
  Ref globals = Ref::steal(PyFrame_GetGlobals(f));
  if (!globals || !PyDict_CheckExact(globals.get())) {
    PyErr_Clear();
    return false;
  }
  PyObject* name = PyDict_GetItemWithError(globals.get(), interned().dunder_name);  // borrowed
  if (name == nullptr || !PyUnicode_CheckExact(name)) {
    PyErr_Clear();
    return false;
  }
  if (facts != nullptr && facts->module_name.get() == name) {
    out.assign(facts->qualname);
    return true;
  }
  out.clear();
  append_str(out, name);
  out.push_back('.');
  append_str(out, co->co_qualname);
  if (facts != nullptr) {
    facts->qualname.assign(out);
    facts->module_name = Ref::incref(name);  // the old one is a str: no code runs
  }
  return true;
#else
  (void)out;
  (void)frame;
  (void)code;
  (void)facts;
  return false;  // code objects gained co_qualname in 3.11
#endif
}

}  // namespace

bool write_qualname(std::string& out, PyObject* frame, PyObject* code, CodeFacts* facts) {
  Ref own;
  if (code == nullptr) {
    own = frame_code(frame);
    code = own.get();
  }
  if (cached_qualname(out, frame, code, facts)) return true;
  std::optional<std::string> name = get_qualname(frame, code);
  if (!name) return false;
  out.assign(*name);
  return true;
}

std::optional<std::string> get_qualname(PyObject* frame, PyObject* of_code) {
  Ref code = of_code != nullptr ? Ref::incref(of_code) : frame_code(frame);

  if (Ref qualname = code_qualname(code.get())) {
    Ref globals = frame_globals(frame);
    std::string out;
    append_module_name(out, globals.get());
    out.push_back('.');
    append_str(out, qualname.get());
    return out;
  }

  Ref co_name = code_name(code.get());
  if (!PyUnicode_Check(co_name.get())) conversion_error(co_name.get(), "PyString");
  if (PyUnicode_CompareWithASCIIString(co_name.get(), "<module>") == 0) {
    Ref globals = frame_globals(frame);
    std::string out;
    append_module_name(out, globals.get());
    out.append(".<module>");
    return out;
  }
  return get_qualname_inner(frame, co_name.get());
}

std::string shown_filename(std::string_view cwd, std::string_view filename) {
  const size_t rest = strip_components(cwd, filename);
  const std::string_view shown = rest == std::string_view::npos ? filename : filename.substr(rest);
  std::string out;
  if (is_valid_utf8(shown)) {
    out.assign(shown);
  } else {
    append_lossy(out, shown);
  }
  return out;
}

namespace {

void append_line(std::string& out, uint64_t line) {
  char digits[20];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, line);
  (void)ec;  // 20 digits always suffice for a uint64_t
  out.push_back(':');
  out.append(digits, end);
}

}  // namespace

std::string format_frame_path_in(std::string_view cwd, std::string_view filename, uint64_t line) {
  std::string out = shown_filename(cwd, filename);
  append_line(out, line);
  return out;
}

void write_frame_path(std::string& out, CodeFacts* facts, std::string_view filename,
                      uint64_t line) {
  const std::string_view cwd = current_directory();
  // Only a directory the audit hook watches has a generation; any other is
  // read afresh each time, and so is the shown name.
  const uint64_t generation = g_cwd.valid ? g_cwd.generation : 0;
  if (generation == 0 || facts == nullptr) {
    out = shown_filename(cwd, filename);
  } else {
    if (facts->path_generation != generation) {
      facts->shown_path = shown_filename(cwd, filename);
      facts->path_generation = generation;
    }
    out.assign(facts->shown_path);
  }
  append_line(out, line);
}

void watch_working_directory() {
  if (g_cwd.watching) return;
  if (PySys_AddAuditHook(watch_chdir, nullptr) < 0) {
    // Another hook refused ours: keep reading the directory every time.
    PyErr_Clear();
    return;
  }
  g_cwd.watching = true;
}

std::string format_frame_path(std::string_view filename, uint64_t line) {
  return format_frame_path_in(current_directory(), filename, line);
}

}  // namespace vask
