// Extra slots of code objects, where the engines keep what they found out
// about a code object for as long as the code object lives (the facts every
// event needs, the monitor's assignment instructions). Public but unstable
// API from 3.12 on, private before. GIL held for every call.
#pragma once

#include <optional>

#include "support/py.hpp"

namespace vask {

// A new slot whose values `free` releases when their code object goes (null:
// nothing to release); -1 when the interpreter has none left.
inline Py_ssize_t request_code_extra_index(freefunc free) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  Py_ssize_t index = PyUnstable_Eval_RequestCodeExtraIndex(free);
#else
  Py_ssize_t index = _PyEval_RequestCodeExtraIndex(free);
#endif
  if (index < 0) PyErr_Clear();
  return index;
}

// The value in the slot (null when unset), or nullopt when it cannot be read.
inline std::optional<void*> code_extra(PyObject* code, Py_ssize_t index) noexcept {
  void* extra = nullptr;
#if PY_VERSION_HEX >= 0x030C0000
  const int status = PyUnstable_Code_GetExtra(code, index, &extra);
#else
  const int status = _PyCode_GetExtra(code, index, &extra);
#endif
  if (status < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  return extra;
}

// Whether the value was set.
inline bool set_code_extra(PyObject* code, Py_ssize_t index, void* value) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  const int status = PyUnstable_Code_SetExtra(code, index, value);
#else
  const int status = _PyCode_SetExtra(code, index, value);
#endif
  if (status < 0) PyErr_Clear();
  return status == 0;
}

}  // namespace vask
