#include "utils/thread_ref.hpp"

#include <utility>

#include "support/program_errors.hpp"

namespace vask {
namespace {

// After a failed read of a fact: the program's own exception and a
// MemoryError are thrown again; any other failure leaves the fact unknown.
// A Python error is set on entry.
void unknown_fact() {
  Ref error = fetch_error();
  if (PyErr_GivenExceptionMatches(error.get(), PyExc_MemoryError) ||
      belongs_to_program(error.get())) {
    restore_error(std::move(error));
    throw_py();
  }
}

std::optional<std::string> read_name(PyObject* thread) {
  Ref name = Ref::steal(PyObject_GetAttr(thread, interned().name));
  if (!name) {
    unknown_fact();
    return std::nullopt;
  }
  if (!PyUnicode_Check(name.get())) return std::nullopt;
  const Utf8Text text = utf8_text(name.get());
  return std::string(text.text());
}

std::optional<bool> read_daemon(PyObject* thread) {
  Ref daemon = Ref::steal(PyObject_GetAttr(thread, interned().daemon));
  if (!daemon) {
    unknown_fact();
    return std::nullopt;
  }
  if (!PyBool_Check(daemon.get())) return std::nullopt;
  return daemon.get() == Py_True;
}

}  // namespace

std::optional<uint64_t> optional_thread_number(PyObject* thread, PyObject* name) {
  Ref value = Ref::steal(PyObject_GetAttr(thread, name));
  if (!value) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (!PyLong_Check(value.get())) return std::nullopt;
  const unsigned long long n = PyLong_AsUnsignedLongLong(value.get());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return static_cast<uint64_t>(n);
}

ThreadRef ThreadRef::of(PyObject* thread) {
  auto info = std::make_shared<Info>();
  info->target = thread;
  Ref weak = Ref::steal(PyWeakref_NewRef(thread, nullptr));
  if (weak) {
    info->ref = std::move(weak);
    info->weak = true;
  } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    // Not weakly referenceable: held as it is.
    PyErr_Clear();
    info->ref = Ref::incref(thread);
  } else {
    throw_py();
  }
  info->facts.name = read_name(thread);
  info->facts.ident = optional_thread_number(thread, interned().ident);
  info->facts.native_id = optional_thread_number(thread, interned().native_id);
  info->facts.daemon = read_daemon(thread);
  ThreadRef made;
  made.info_ = std::move(info);
  return made;
}

void ThreadRef::note_name() const {
  Ref thread = live();
  if (!thread) return;
  std::optional<std::string> name = read_name(thread.get());
  if (name != info_->facts.name) info_->facts.name = std::move(name);
}

bool ThreadRef::alive() const noexcept {
  if (!info_) return false;
  if (!info_->weak) return true;
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* object = nullptr;
  const int got = PyWeakref_GetRef(info_->ref.get(), &object);
  Py_XDECREF(object);  // the object is held elsewhere: this is not its last reference
  return got == 1;
#else
  return PyWeakref_GET_OBJECT(info_->ref.get()) != Py_None;
#endif
}

Ref ThreadRef::live() const noexcept {
  if (!info_) return Ref();
  if (!info_->weak) return info_->ref.copy();
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* object = nullptr;
  if (PyWeakref_GetRef(info_->ref.get(), &object) != 1) return Ref();
  return Ref::steal(object);
#else
  PyObject* object = PyWeakref_GET_OBJECT(info_->ref.get());
  if (object == Py_None) return Ref();
  return Ref::incref(object);
#endif
}

}  // namespace vask
