// The module entry: vask._vask with its three functions.
#include "monitoring.hpp"
#include "profiler.hpp"
#include "support/py.hpp"
#include "support/py_type.hpp"
#include "utils/names.hpp"

namespace vask {
namespace {

// True once this process has produced the module; it cannot be produced twice
// (re-import after removal from sys.modules, sub-interpreters).
bool g_initialised = false;

PyObject* py_register_profiler(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
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

PyObject* py_register_monitor(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"db_path", "config", "source", "one_trace_per_test",
                                        "name"};
    PyObject* a[5];
    if (!parse_args("register_monitor", args, nargs, kwnames, names, 5, 4, a)) throw_py();
    if (!PyUnicode_Check(a[0])) argument_error("db_path", a[0], "PyString");
    if (!PyDict_Check(a[1])) argument_error("config", a[1], "PyDict");
    if (!PyUnicode_Check(a[2])) argument_error("source", a[2], "PyString");
    if (!PyBool_Check(a[3])) argument_error("one_trace_per_test", a[3], "PyBool");
    if (a[4] != nullptr && a[4] != Py_None && !PyUnicode_Check(a[4])) {
      argument_error("name", a[4], "PyString");
    }
    VaskMonitor::Arguments converted;
    converted.db_path = fs_encode(a[0]);
    converted.config = a[1];
    converted.source = str_text(a[2]);
    converted.one_trace_per_test = a[3] == Py_True;
    if (a[4] != nullptr && a[4] != Py_None) converted.name = str_text(a[4]);
    return register_monitor(converted).release();
  });
}

PyMethodDef g_methods[] = {
    method_fastcall_keywords(
        "register_monitor", py_register_monitor,
        "register_monitor(db_path, config, source, one_trace_per_test, name=None)\n--\n\n"),
    method_noargs("register_noop_profiler", py_register_noop_profiler,
                  "register_noop_profiler()\n--\n\n"
                  "Register a minimal profiler for comparison purposes in benchmarking"),
    method_fastcall_keywords(
        "register_profiler", py_register_profiler,
        "register_profiler(profiler)\n--\n\n"
        "Called from Python to switch profiling to the native engine.\n\n"
        "``profiler`` is the Python-side profiler object; the native ``VaskProfiler``\n"
        "is built from it and stored as its ``rust_profiler`` attribute. The engine is\n"
        "registered with ``PyEval_SetProfile`` for the calling thread and, when\n"
        "``use_threading`` is true (configuration key ``threading``), also through\n"
        "``threading.setprofile`` with the ``register_threading_profiler`` callback so\n"
        "that it is registered on all threads."),
    kMethodsEnd,
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
    watch_interpreter_exit();
    watch_working_directory();
    Ref module = Ref::check(PyModule_Create2(&g_module, PYTHON_API_VERSION));
    if (PyModule_AddFunctions(module.get(), g_methods) < 0) throw_py();
    g_initialised = true;
    return module.release();
  });
}
