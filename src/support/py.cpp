#include "support/py.hpp"

#include <atomic>
#include <cstdio>
#include <exception>

#include "support/per_thread.hpp"

namespace vask {

void throw_py() {
  if (!PyErr_Occurred()) {
    // A failed API call without an error is itself a fault; report it as one
    // instead of returning NULL with nothing set.
    throw InternalFault{"a Python API call failed without setting an error"};
  }
  throw PyErrSet{};
}

void fault(std::string message) { throw InternalFault{std::move(message)}; }

void conversion_error(PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to '%s'",
               obj == nullptr ? "NoneType" : Py_TYPE(obj)->tp_name, target);
  throw_py();
}

void argument_error(const char* name, PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object cannot be converted to '%s'", name,
               obj == nullptr ? "NoneType" : Py_TYPE(obj)->tp_name, target);
  throw_py();
}

void set_internal_fault(const InternalFault& f) noexcept {
  PyErr_SetString(PyExc_SystemError, f.message.c_str());
}

// A forced unwind has no C++ object behind it: the reference its handler
// binds is null, which is no fault here (UBSan's null check is off for it).
__attribute__((no_sanitize("null"))) void rethrow_if_forced_unwind() {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
  }
}

void set_error_from_current_exception() {
  rethrow_if_forced_unwind();
  try {
    throw;
  } catch (const PyErrSet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "vask: error reported without a Python exception");
    }
  } catch (const InternalFault& f) {
    set_internal_fault(f);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "vask: unexpected C++ exception: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "vask: unexpected C++ exception");
  }
}

Ref fetch_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
#endif
}

void restore_error(Ref exc) noexcept {
  if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
  Py_INCREF(type);
  PyObject* tb = PyException_GetTraceback(exc.get());  // new reference or null
  PyErr_Restore(type, exc.release(), tb);
#endif
}

#if PY_VERSION_HEX >= 0x030C0000
ErrorStash::ErrorStash() noexcept : exc_(PyErr_GetRaisedException()) {}
ErrorStash::~ErrorStash() {
  if (discarded_ || !python_usable()) return;
  if (exc_ != nullptr) {
    PyErr_SetRaisedException(exc_);
  } else {
    PyErr_Clear();
  }
}
void ErrorStash::discard() noexcept {
  if (discarded_) return;
  Py_XDECREF(exc_);
  exc_ = nullptr;
  discarded_ = true;
}
#else
ErrorStash::ErrorStash() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
ErrorStash::~ErrorStash() {
  if (discarded_ || !python_usable()) return;
  PyErr_Restore(type_, value_, tb_);
}
void ErrorStash::discard() noexcept {
  if (discarded_) return;
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(tb_);
  type_ = value_ = tb_ = nullptr;
  discarded_ = true;
}
#endif

std::string_view str_view(PyObject* obj) {
  if (!PyUnicode_Check(obj)) conversion_error(obj, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) throw_py();
  return {data, static_cast<size_t>(size)};
}

std::optional<std::string_view> try_str_view(PyObject* obj) noexcept {
  if (!PyUnicode_Check(obj)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) {
    PyErr_Clear();  // lone surrogates: not representable as UTF-8 text
    return std::nullopt;
  }
  return std::string_view(data, static_cast<size_t>(size));
}

Utf8Text utf8_text(PyObject* str) {
  if (PyUnicode_IS_COMPACT_ASCII(str)) {
    return {{static_cast<const char*>(PyUnicode_DATA(str)),
             static_cast<size_t>(PyUnicode_GET_LENGTH(str))},
            {}};
  }
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
    return {{data, static_cast<size_t>(size)}, {}};
  }
  PyErr_Clear();  // UnicodeEncodeError: lone surrogates
  Ref escaped = Ref::check(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
  const std::string_view text(PyBytes_AS_STRING(escaped.get()),
                              static_cast<size_t>(PyBytes_GET_SIZE(escaped.get())));
  return {text, std::move(escaped)};
}

std::optional<Utf8Text> try_utf8_text(PyObject* obj) noexcept {
  if (!PyUnicode_Check(obj)) return std::nullopt;
  try {
    return utf8_text(obj);
  } catch (const PyErrSet&) {
    PyErr_Clear();
  } catch (const InternalFault&) {
  } catch (const std::bad_alloc&) {
  }
  return std::nullopt;
}

std::string str_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) conversion_error(obj, "PyString");
  const Utf8Text text = utf8_text(obj);
  return std::string(text.text());
}

std::string fs_encode(PyObject* path) {
  if (!PyUnicode_Check(path)) conversion_error(path, "PyString");
  Ref bytes = Ref::check(PyUnicode_EncodeFSDefault(path));
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

Ref fs_decode(std::string_view path) {
  return Ref::check(
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

Ref make_str(std::string_view text) {
  return Ref::check(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

std::string to_str(PyObject* obj) {
  Ref s = Ref::check(PyObject_Str(obj));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s.get(), &size);
  if (data == nullptr) {
    // Text with lone surrogates: keep it readable rather than fail the record.
    PyErr_Clear();
    Ref bytes = Ref::check(PyUnicode_AsEncodedString(s.get(), "utf-8", "backslashreplace"));
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
  }
  return std::string(data, static_cast<size_t>(size));
}

Ref getattr(PyObject* obj, PyObject* name) { return Ref::check(PyObject_GetAttr(obj, name)); }
Ref getattr(PyObject* obj, const char* name) {
  return Ref::check(PyObject_GetAttrString(obj, name));
}
Ref import(const char* module) { return Ref::check(PyImport_ImportModule(module)); }

Ref call(PyObject* callable) { return Ref::check(PyObject_CallNoArgs(callable)); }
Ref call(PyObject* callable, PyObject* a0) { return Ref::check(PyObject_CallOneArg(callable, a0)); }
Ref call(PyObject* callable, PyObject* a0, PyObject* a1, PyObject* a2, PyObject* a3) {
  PyObject* args[] = {a0, a1, a2, a3};
  return Ref::check(PyObject_Vectorcall(callable, args, 4, nullptr));
}

void print_stdout_line(std::string_view line) {
  ErrorStash stash;
  std::string text(line);
  text.push_back('\n');
  PyObject* out = PySys_GetObject("stdout");  // borrowed
  if (out != nullptr && out != Py_None) {
    Ref s = Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (s && PyFile_WriteObject(s.get(), out, Py_PRINT_RAW) == 0) return;
    PyErr_Clear();
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

namespace detail {
std::atomic<bool> g_interpreter_exiting{false};
}  // namespace detail

namespace {

PyObject* note_interpreter_exit(PyObject*, PyObject*) {
  detail::g_interpreter_exiting.store(true, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyMethodDef g_note_exit = {"_vask_interpreter_exit", note_interpreter_exit, METH_NOARGS, nullptr};

}  // namespace

void watch_interpreter_exit() {
  static bool watching = false;  // GIL held
  if (watching) return;
  Ref callback = Ref::check(PyCFunction_New(&g_note_exit, nullptr));
  Ref atexit = import("atexit");
  Ref register_ = getattr(atexit.get(), "register");
  call(register_.get(), callback.get());
  watching = true;
}

namespace {
Interned g_interned{};
bool g_interned_ready = false;

PyObject* intern(const char* s) {
  PyObject* o = PyUnicode_InternFromString(s);
  if (o == nullptr) throw_py();
  return o;  // kept for the life of the process
}
}  // namespace

const Interned& interned() noexcept { return g_interned; }

void init_interned() {
  if (g_interned_ready) return;
  Interned n;
  n.f_back = intern("f_back");
  n.f_code = intern("f_code");
  n.f_lineno = intern("f_lineno");
  n.f_locals = intern("f_locals");
  n.f_globals = intern("f_globals");
  n.co_filename = intern("co_filename");
  n.co_name = intern("co_name");
  n.co_qualname = intern("co_qualname");
  n.dunder_name = intern("__name__");
  n.dunder_qualname = intern("__qualname__");
  n.dunder_module = intern("__module__");
  n.dunder_builtins = intern("__builtins__");
  n.items = intern("items");
  n.self = intern("self");
  n.cls = intern("cls");
  n.native_id = intern("native_id");
  n.ident = intern("ident");
  n.name = intern("name");
  n.daemon = intern("daemon");
  n.is_alive = intern("is_alive");
  n.fget = intern("fget");
  g_interned = n;
  g_interned_ready = true;
}

namespace detail {
uint64_t current_thread_token() noexcept {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t token = next.fetch_add(1, std::memory_order_relaxed);
  return token;
}
uint64_t next_owner_id() noexcept {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace detail

}  // namespace vask
