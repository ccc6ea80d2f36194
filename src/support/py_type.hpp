// Python types and methods over native objects: the method-table cast, the
// argument parser of fast-call functions, and the object that carries an
// engine.
#pragma once

#include <memory>
#include <utility>

#include "support/py.hpp"

namespace vask {

// Casts through void(*)() so that the function-pointer cast is explicit about
// changing the signature (CPython calls it with the METH_ flags' signature).
template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Method-table entries. Each takes the one function type its calling
// convention has, so a table cannot pair a function with flags that CPython
// would call it through with the wrong arguments.
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
using FastKeywordsFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline PyMethodDef method_noargs(const char* name, PyCFunction f, const char* doc) {
  return {name, f, METH_NOARGS, doc};
}
inline PyMethodDef method_o(const char* name, PyCFunction f, const char* doc) {
  return {name, f, METH_O, doc};
}
inline PyMethodDef method_fastcall(const char* name, FastFunction f, const char* doc) {
  return {name, as_cfunction(f), METH_FASTCALL, doc};
}
inline PyMethodDef method_fastcall_keywords(const char* name, FastKeywordsFunction f,
                                            const char* doc) {
  return {name, as_cfunction(f), METH_FASTCALL | METH_KEYWORDS, doc};
}
// The end of a method table.
inline constexpr PyMethodDef kMethodsEnd = {nullptr, nullptr, 0, nullptr};

// Parses fast-call arguments against a fixed keyword list into out[0..n_names)
// (borrowed; null for a missing optional argument). Missing required
// arguments, unknown keywords and duplicates raise TypeError naming the
// function and the argument, like CPython's own argument clinic. Returns false
// with the error set.
bool parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const char* const* names, Py_ssize_t n_names, Py_ssize_t n_required,
                PyObject** out);

// A heap type built once from its definition and kept for the life of the process.
// GIL held.
PyTypeObject* create_type(PyType_Spec* definition);

// The Python object that carries an engine. The engine is created before the
// object and owned by it; it is destroyed with the object, GIL held.
template <class Engine>
struct EngineObject {
  PyObject_HEAD Engine* engine;

  static Engine& of(PyObject* self) noexcept {
    return *reinterpret_cast<EngineObject*>(self)->engine;
  }

  // Runs f(engine) for one callback of the interpreter, which calls with a
  // borrowed reference (the thread's profile object, the self of a bound
  // method). A stop made inside the callback (a signal handler that calls
  // vask.disable() while a dumper runs) or on another thread while this one
  // waits for the GIL may drop every other reference: the one held here keeps
  // the engine and its per-thread state alive until f has returned and its
  // borrows have ended. GIL held.
  template <class F>
  static auto in_callback(PyObject* self, F&& f) {
    const Ref hold = Ref::incref(self);
    return std::forward<F>(f)(of(self));
  }

  // Wraps the engine in a new instance of `type` (whose basic size is
  // sizeof(EngineObject)). On failure the engine is dropped and PyErrSet is
  // thrown.
  static Ref wrap(PyTypeObject* type, std::unique_ptr<Engine> engine) {
    Ref instance = Ref::check(type->tp_alloc(type, 0));
    reinterpret_cast<EngineObject*>(instance.get())->engine = engine.release();
    return instance;
  }

  static void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    {
      // Releasing the engine drops Python references (frames, threads,
      // callables), which may run arbitrary code; keep any error in flight.
      ErrorStash stash;
      delete reinterpret_cast<EngineObject*>(self)->engine;
      reinterpret_cast<EngineObject*>(self)->engine = nullptr;
    }
    type->tp_free(self);
    Py_DECREF(type);
  }
};

}  // namespace vask
