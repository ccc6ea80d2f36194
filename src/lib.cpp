// The module entry: vask._vask with its three functions.
#include "profiler.hpp"
#include "support/py.hpp"
#include "utils/names.hpp"

namespace vask {
namespace {

// True once this process has produced the module; it cannot be produced twice
// (re-import after removal from sys.modules, sub-interpreters).
bool g_initialised = false;

// Parses fast-call arguments against a fixed keyword list. Missing required
// arguments, unknown keywords and duplicates raise TypeError naming the
// function and the argument, like CPython's own argument clinic.
bool parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const char* const* names, Py_ssize_t n_names, Py_ssize_t n_required,
                PyObject** out) {
  for (Py_ssize_t i = 0; i < n_names; ++i) out[i] = nullptr;
  if (nargs > n_names) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional arguments (%zd given)", fname,
                 n_names, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < n_names; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname,
                   names[slot]);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < n_required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", fname, names[i]);
      return false;
    }
  }
  return true;
}

PyObject* py_register_profiler(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"profiler"};
    PyObject* profiler;
    if (!parse_args("register_profiler", args, nargs, kwnames, names, 1, 1, &profiler)) throw_py();
    return register_profiler(profiler);
  });
}

PyObject* py_register_noop_profiler(PyObject*, PyObject*) noexcept {
  PyEval_SetProfile(noop_profile, nullptr);
  Py_RETURN_NONE;
}

[[noreturn]] void argument_error(const char* arg, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object cannot be converted to '%s'", arg,
               Py_TYPE(got)->tp_name, expected);
  throw_py();
}

PyObject* py_register_monitor(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"db_path", "config", "source", "one_trace_per_test",
                                        "name"};
    PyObject* a[5];
    if (!parse_args("register_monitor", args, nargs, kwnames, names, 5, 4, a)) throw_py();
    if (!PyUnicode_Check(a[0])) argument_error("db_path", "PyString", a[0]);
    if (!PyDict_Check(a[1])) argument_error("config", "PyDict", a[1]);
    if (!PyUnicode_Check(a[2])) argument_error("source", "PyString", a[2]);
    if (!PyBool_Check(a[3])) argument_error("one_trace_per_test", "PyBool", a[3]);
    if (a[4] != nullptr && a[4] != Py_None && !PyUnicode_Check(a[4])) {
      argument_error("name", "PyString", a[4]);
    }
    PyErr_SetString(PyExc_NotImplementedError,
                    "the sys.monitoring engine is not available in this build of vask; "
                    "use the profile-hook engine");
    throw_py();
  });
}

// Casts through void(*)() so that the function-pointer cast is explicit about
// changing the signature (CPython calls it with the METH_ flags' signature).
template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef g_methods[] = {
    {"register_monitor", as_cfunction(py_register_monitor), METH_FASTCALL | METH_KEYWORDS,
     "register_monitor(db_path, config, source, one_trace_per_test, name=None)\n--\n\n"},
    {"register_noop_profiler", as_cfunction(py_register_noop_profiler), METH_NOARGS,
     "register_noop_profiler()\n--\n\n"
     "Register a minimal profiler for comparison purposes in benchmarking"},
    {"register_profiler", as_cfunction(py_register_profiler), METH_FASTCALL | METH_KEYWORDS,
     "register_profiler(profiler)\n--\n\n"
     "Called from Python to switch profiling to the native engine.\n\n"
     "``profiler`` is the Python-side profiler object; the native ``VaskProfiler``\n"
     "is built from it and stored as its ``rust_profiler`` attribute. The engine is\n"
     "registered with ``PyEval_SetProfile`` for the calling thread and, when\n"
     "``use_threading`` is true (configuration key ``threading``), also through\n"
     "``threading.setprofile`` with the ``register_threading_profiler`` callback so\n"
     "that it is registered on all threads."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_vask",  // m_name
    "",       // m_doc
    0,        // m_size: no per-module state; 0 (not -1) so that a re-import
              // calls the entry again and meets the once-per-process check
    nullptr,  // functions are added one by one below, in a fixed order
};

}  // namespace
}  // namespace vask

PyMODINIT_FUNC PyInit__vask() {
  using namespace vask;
  return boundary([]() -> PyObject* {
    if (g_initialised) {
      PyErr_SetString(PyExc_ImportError,
                      "vask._vask may be initialised only once per interpreter process");
      throw_py();
    }
    init_interned();
    watch_working_directory();
    Ref module = Ref::check(PyModule_Create2(&g_module, PYTHON_API_VERSION));
    if (PyModule_AddFunctions(module.get(), g_methods) < 0) throw_py();
    g_initialised = true;
    return module.release();
  });
}
