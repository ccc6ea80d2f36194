#include "support/program_errors.hpp"

#include <vector>

namespace vask {
namespace {

// The code object behind a signal handler, or null when the handler is not
// Python code (SIG_DFL, SIG_IGN, default_int_handler, a callable object).
// Borrowed from `handler`, which the caller keeps alive.
PyObject* handler_code(PyObject* handler) noexcept {
  if (PyMethod_Check(handler)) handler = PyMethod_GET_FUNCTION(handler);
  if (PyFunction_Check(handler)) return PyFunction_GET_CODE(handler);
  return nullptr;
}

// The handlers whose code may appear in a traceback, each owned.
std::vector<Ref> python_signal_handlers() {
  std::vector<Ref> handlers;
  // _signal is the built-in module behind `signal`; handlers installed
  // through either live in its table.
  Ref module = Ref::steal(PyImport_ImportModule("_signal"));
  if (!module) {
    PyErr_Clear();
    return handlers;
  }
  Ref getsignal = Ref::steal(PyObject_GetAttrString(module.get(), "getsignal"));
  Ref nsig_obj = Ref::steal(PyObject_GetAttrString(module.get(), "NSIG"));
  const long nsig = nsig_obj ? PyLong_AsLong(nsig_obj.get()) : -1;
  if (!getsignal || nsig <= 1) {
    PyErr_Clear();
    return handlers;
  }
  try {
    for (long signum = 1; signum < nsig; ++signum) {
      Ref number = Ref::steal(PyLong_FromLong(signum));
      Ref handler = number ? Ref::steal(PyObject_CallOneArg(getsignal.get(), number.get())) : Ref();
      if (!handler) {
        PyErr_Clear();  // a number the platform does not know
        continue;
      }
      if (handler_code(handler.get()) != nullptr) handlers.push_back(std::move(handler));
    }
  } catch (const std::bad_alloc&) {  // what was found so far is the answer
  }
  return handlers;
}

}  // namespace

bool belongs_to_program(PyObject* exc) {
  if (exc == nullptr) return false;
  if (!PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_Exception))) return true;
  Ref tb = Ref::steal(PyException_GetTraceback(exc));
  if (!tb || !PyTraceBack_Check(tb.get())) return false;
  const std::vector<Ref> handlers = python_signal_handlers();
  if (handlers.empty()) return false;
  for (auto* entry = reinterpret_cast<PyTracebackObject*>(tb.get()); entry != nullptr;
       entry = entry->tb_next) {
    if (entry->tb_frame == nullptr) continue;
    // PyFrame_GetCode returns a new reference and never fails for a frame.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(entry->tb_frame)));
    for (const Ref& handler : handlers) {
      if (handler_code(handler.get()) == code.get()) return true;
    }
  }
  return false;
}

}  // namespace vask
