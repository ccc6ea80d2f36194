// The Python/C API layer every other file uses: owned references, the error
// convention, and the strings interned once per process.
//
// Error convention. Native code reports failures by throwing:
//   * PyErrSet      - a Python exception is set (PyErr_Occurred() is true);
//   * InternalFault - a condition that a real interpreter and a correct host
//                     package never produce; it carries a fixed message.
// Nothing else is thrown on purpose (std::bad_alloc can be).  Every function
// handed to CPython runs its body through boundary(), which maps these to the
// C convention: NULL or -1 with an exception set.
//
// Threads the interpreter ends. At exit, a daemon thread that wants the GIL
// back is ended with pthread_exit wherever it is, possibly inside vask while
// a dumper runs Python code. That unwinds the thread's stack as a forced
// unwind (abi::__forced_unwind): destructors run, a catch (...) block must
// rethrow it, and a noexcept frame on its way would std::terminate the whole
// process. So a function that may run Python code below it is not noexcept
// (the entry points included), every catch (...) lets a forced unwind go on
// (rethrow_if_forced_unwind, set_error_from_current_exception), and the
// destructors that would touch Python do nothing on a thread that does not
// hold the GIL (python_usable): what they hold is left to the ending process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>
#include <frameobject.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vask {

struct PyErrSet {};

struct InternalFault {
  std::string message;
};

// Throws PyErrSet; a Python error must already be set.
[[noreturn]] void throw_py();
// Throws InternalFault with the given fixed message.
[[noreturn]] void fault(std::string message);
// Throws PyErrSet with the conversion TypeError of the binding layer:
// "'<type>' object cannot be converted to '<target>'".
[[noreturn]] void conversion_error(PyObject* obj, const char* target);
// As conversion_error(), for an argument: "argument '<name>': ...".
[[noreturn]] void argument_error(const char* name, PyObject* obj, const char* target);

namespace detail {
// Set by an atexit callback: the interpreter may end threads from now on.
// Daemon threads read it after taking the GIL, which orders it.
extern std::atomic<bool> g_interpreter_exiting;
}  // namespace detail

// Whether a destructor may touch Python objects on this thread: always
// before the interpreter starts to exit (one relaxed load: destructors are
// hot), and after that only while the thread holds the GIL. False on a
// thread the interpreter is ending, and once the interpreter has finalised.
inline bool python_usable() noexcept {
  if (!detail::g_interpreter_exiting.load(std::memory_order_relaxed)) return true;
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
  return _PyThreadState_UncheckedGet() != nullptr;
#else
  // Before 3.12 no per-thread answer holds late in the finalisation (the
  // GIL state's thread key is gone). Once it has begun only the finalising
  // thread runs Python code; what it would drop is left to the ending
  // process too.
  return !_Py_IsFinalizing();
#endif
}

// Registers the atexit callback that python_usable() depends on; idempotent.
// Called by each extension module's entry. Throws PyErrSet.
void watch_interpreter_exit();

// Rethrows the exception being handled when it is the forced unwind that ends
// a thread. Call first in a catch (...) block that does more than rethrow.
void rethrow_if_forced_unwind();

// Drops a reference from a destructor: not on a thread that lost the GIL
// (see above), where the object is left to the ending process.
inline void drop_in_destructor(PyObject* p) noexcept {
  if (p != nullptr && python_usable()) Py_DECREF(p);
}

// A strong reference. Move-only; releases on destruction. A raw pointer never
// turns into a Ref implicitly: the call site says steal() or incref().
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { drop_in_destructor(p_); }

  // Takes over a new reference (may be null).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes over a new reference returned by an API call; null means the call
  // failed with a Python error set, which is thrown.
  static Ref check(PyObject* p) {
    if (p == nullptr) throw_py();
    return Ref(p);
  }
  // Owns a further reference to a borrowed object (may be null).
  static Ref incref(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (usually back to CPython).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  Ref copy() const noexcept { return incref(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Sets the Python error for an InternalFault (SystemError with its message).
void set_internal_fault(const InternalFault& f) noexcept;

// Converts the C++ exception being handled into a set Python error. Call only
// from inside a catch block. A forced unwind is rethrown.
void set_error_from_current_exception();

// Runs f and maps every failure to the C convention. f returns PyObject*.
// Only a forced unwind goes through.
template <class F>
PyObject* boundary(F&& f) {
  try {
    return f();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// As boundary(), for entry points that return 0 or -1.
template <class F>
int boundary_int(F&& f) {
  try {
    return f();
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

// Takes the currently set Python error out as an exception object (with its
// traceback attached); null when no error is set.
Ref fetch_error() noexcept;
// Sets an exception object taken by fetch_error() as the current error.
void restore_error(Ref exc) noexcept;

// Holds whatever exception is in flight while the engine does its own work and
// puts it back on destruction, so that recording never disturbs the traced
// program's error state. On a thread that lost the GIL it puts back nothing.
class ErrorStash {
 public:
  ErrorStash() noexcept;
  ~ErrorStash();
  ErrorStash(const ErrorStash&) = delete;
  ErrorStash& operator=(const ErrorStash&) = delete;
  // Drops the held exception: the error set when the stash goes out of scope
  // is kept instead (it replaces the one that was in flight).
  void discard() noexcept;

 private:
  bool discarded_ = false;
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc_;
#else
  PyObject* type_;
  PyObject* value_;
  PyObject* tb_;
#endif
};

// ---- small conversions ------------------------------------------------------

// UTF-8 view of a str object; the view lives as long as the object.
// Throws PyErrSet (TypeError) when obj is not a str.
std::string_view str_view(PyObject* obj);
// As str_view(), but returns nullopt when obj is not a str, without an error.
std::optional<std::string_view> try_str_view(PyObject* obj) noexcept;
// Text from the program that is not valid Unicode (lone surrogates: a
// surrogate-escaped sys.argv, a file or thread name read from undecodable
// bytes) is written with backslashreplace everywhere vask writes text: in the
// values the dumpers write, the frame records, the trace document and the
// configuration it holds. "caf\xe9.txt" read as 'caf\udce9.txt' is stored as
// the text `caf\udce9.txt`: it survives readable, what is stored stays
// valid UTF-8, and no record or trace fails on it. (Paths handed back to
// Python keep the file-system encoding instead: see fs_encode.)
//
// UTF-8 text of any str instance, read from its storage: no method of a str
// subclass runs. Lone surrogates, which UTF-8 cannot hold, are written as
// their escapes (\\ud800) into a copy the object owns. The text lives as long
// as the str object and this object: it cannot be read from a temporary.
class Utf8Text {
 public:
  Utf8Text() = default;
  Utf8Text(std::string_view text, Ref owner) : text_(text), owner_(std::move(owner)) {}
  std::string_view text() const& noexcept { return text_; }
  std::string_view text() const&& = delete;

 private:
  std::string_view text_;
  Ref owner_;
};
Utf8Text utf8_text(PyObject* str);
// As utf8_text(), or nullopt without an error when obj is not a str or the
// text cannot be made (no memory).
std::optional<Utf8Text> try_utf8_text(PyObject* obj) noexcept;
// The text of a str as utf8_text() writes it, copied. Throws PyErrSet: the
// conversion TypeError naming "PyString" when obj is not a str.
std::string str_text(PyObject* obj);
// A path as the file system names it (os.fsencode): the bytes that
// fs_decode() turns back into the same str, surrogates included. Throws
// PyErrSet: the conversion TypeError naming "PyString" when obj is not a str.
std::string fs_encode(PyObject* path);
// os.fsdecode(bytes). Throws PyErrSet.
Ref fs_decode(std::string_view path);
// New str object from UTF-8 text (surrogates escaped on the way in).
Ref make_str(std::string_view text);
// str(obj) as UTF-8 text.
std::string to_str(PyObject* obj);

// obj.name, throwing PyErrSet on failure.
Ref getattr(PyObject* obj, PyObject* name);
Ref getattr(PyObject* obj, const char* name);
// import module; throws PyErrSet.
Ref import(const char* module);
// Calls callable with the given positional arguments.
Ref call(PyObject* callable);
Ref call(PyObject* callable, PyObject* a0);
Ref call(PyObject* callable, PyObject* a0, PyObject* a1, PyObject* a2, PyObject* a3);

// Writes one line to the interpreter's sys.stdout (falling back to the C
// stdout), as the module's two standard-output warnings require. Never
// raises.
void print_stdout_line(std::string_view line);

// ---- interned attribute names ---------------------------------------------

// Attribute and key names used on hot paths, interned once at module
// initialisation (init_interned) and kept for the life of the process.
struct Interned {
  PyObject* f_back;
  PyObject* f_code;
  PyObject* f_lineno;
  PyObject* f_locals;
  PyObject* f_globals;
  PyObject* co_filename;
  PyObject* co_name;
  PyObject* co_qualname;
  PyObject* dunder_name;      // "__name__"
  PyObject* dunder_qualname;  // "__qualname__"
  PyObject* dunder_module;    // "__module__"
  PyObject* dunder_builtins;  // "__builtins__"
  PyObject* self;
  PyObject* cls;
  PyObject* native_id;
  PyObject* ident;
  PyObject* name;
  PyObject* daemon;
  PyObject* is_alive;
  PyObject* fget;
  PyObject* items;
};
// Interned names; valid after init_interned() succeeded.
const Interned& interned() noexcept;
// Interns the names; idempotent. Throws PyErrSet.
void init_interned();

}  // namespace vask
