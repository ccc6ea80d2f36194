#include "support/py_type.hpp"

namespace vask {

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

PyTypeObject* create_type(PyType_Spec* definition) {
  return reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(definition)).release());
}

}  // namespace vask
