#include "frame_locals.hpp"

#include "code_facts.hpp"

#if VASK_READS_FRAME_LAYOUT

// The interpreter's own frame layout. Only this file sees it: what it reads
// (the slots, the kinds of the code object's variables, the added names) is
// what the proxy's items() reads, so the dicts are equal and ordered alike.
#define Py_BUILD_CORE 1
#include "internal/pycore_code.h"
#include "internal/pycore_frame.h"

namespace vask {
namespace {

// The code object of a frame whose f_locals is a write-through proxy; null
// for the others: unoptimized frames (module and class bodies, also while an
// inlined comprehension of theirs runs) are left to f_locals itself.
PyCodeObject* proxied_code(_PyInterpreterFrame* f) noexcept {
  if (!PyCode_Check(f->f_executable)) return nullptr;
  auto* const code = reinterpret_cast<PyCodeObject*>(f->f_executable);
  return (code->co_flags & CO_OPTIMIZED) != 0 ? code : nullptr;
}

// Calls add(name, value) for each bound variable of the frame, in the code
// object's order, both borrowed from the frame (which the caller keeps
// alive).
template <class Add>
void for_each_bound(_PyInterpreterFrame* f, PyCodeObject* code, Add&& add) {
  for (int i = 0; i < code->co_nlocalsplus; ++i) {
    PyObject* value = f->localsplus[i];
    if (value == nullptr) continue;
    const _PyLocals_Kind kind = _PyLocals_GetKind(code->co_localspluskinds, i);
    // A cell or free variable holds its cell once the frame has started;
    // a hidden comprehension variable of the same name may not.
    if ((kind == CO_FAST_FREE || (kind & CO_FAST_CELL) != 0) && PyCell_Check(value)) {
      value = PyCell_GET(value);
      if (value == nullptr) continue;
    }
    add(PyTuple_GET_ITEM(code->co_localsplusnames, i), value);
  }
}

// Whether the names of the code object's variables are distinct exact str.
// Comparing exact str runs no Python code. Once per code object.
bool distinct_names(PyCodeObject* code) noexcept {
  PyObject* names = code->co_localsplusnames;
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* a = PyTuple_GET_ITEM(names, i);
    if (!PyUnicode_CheckExact(a)) return false;
    for (Py_ssize_t j = 0; j < i; ++j) {
      PyObject* b = PyTuple_GET_ITEM(names, j);
      if (a == b || PyUnicode_Compare(a, b) == 0) return false;
    }
  }
  return true;
}

}  // namespace

Ref function_frame_locals(PyFrameObject* frame) {
  _PyInterpreterFrame* const f = frame->f_frame;
  PyCodeObject* const code = proxied_code(f);
  if (code == nullptr) return {};
  Ref locals = Ref::check(_PyDict_NewPresized(code->co_nlocalsplus));
  // No Python code runs between reading a slot and its insert: the names
  // are str, whose hash is cached.
  for_each_bound(f, code, [&](PyObject* name, PyObject* value) {
    if (PyDict_SetItem(locals.get(), name, value) < 0) throw_py();
  });
  if (frame->f_extra_locals != nullptr) {
    // Any hashable the program used as a name: its hash and comparison may
    // run code, so the extra locals are merged as dict.update would.
    if (PyDict_Update(locals.get(), frame->f_extra_locals) < 0) throw_py();
  }
  return locals;
}

bool function_frame_pairs(PyFrameObject* frame, CodeFacts* facts, NamePairs& pairs) {
  _PyInterpreterFrame* const f = frame->f_frame;
  PyCodeObject* const code = proxied_code(f);
  if (code == nullptr) return false;
  if (frame->f_extra_locals != nullptr &&
      (!PyDict_Check(frame->f_extra_locals) || PyDict_GET_SIZE(frame->f_extra_locals) != 0)) {
    return false;
  }
  // The compiler gives each variable one slot under its own name; a code
  // object made by hand might not, and its dict would merge them.
  if (facts == nullptr) return false;
  if (facts->distinct_names < 0) facts->distinct_names = distinct_names(code) ? 1 : 0;
  if (facts->distinct_names == 0) return false;
  for_each_bound(f, code, [&](PyObject* name, PyObject* value) {
    if (name == interned().dunder_builtins ||
        (PyUnicode_GET_LENGTH(name) == 12 &&
         PyUnicode_CompareWithASCIIString(name, "__builtins__") == 0)) {
      return;
    }
    pairs.add(name, value);
  });
  return true;
}

}  // namespace vask

#endif
