#include "support/frame_locals.hpp"

#if PY_VERSION_HEX >= 0x030D0000

// The interpreter's own frame layout. Only this file sees it: what it reads
// (the slots, the kinds of the code object's variables, the added names) is
// what the proxy's items() reads, so the dicts are equal and ordered alike.
#define Py_BUILD_CORE 1
#include "internal/pycore_code.h"
#include "internal/pycore_frame.h"

namespace vask {

Ref function_frame_locals(PyFrameObject* frame) {
  _PyInterpreterFrame* const f = frame->f_frame;
  if (!PyCode_Check(f->f_executable)) return {};
  auto* const code = reinterpret_cast<PyCodeObject*>(f->f_executable);
  // The test f_locals makes for a proxy, but for unoptimized frames whose
  // inlined comprehension is running: those are left to the proxy itself.
  if ((code->co_flags & CO_OPTIMIZED) == 0) return {};
  const int count = code->co_nlocalsplus;
  Ref locals = Ref::check(_PyDict_NewPresized(count));
  for (int i = 0; i < count; ++i) {
    // Borrowed from the frame, which the caller keeps alive; no Python code
    // runs between here and the insert (names are str: hashing is cached).
    PyObject* value = f->localsplus[i];
    if (value == nullptr) continue;
    const _PyLocals_Kind kind = _PyLocals_GetKind(code->co_localspluskinds, i);
    // A cell or free variable holds its cell once the frame has started;
    // a hidden comprehension variable of the same name may not.
    if ((kind == CO_FAST_FREE || (kind & CO_FAST_CELL) != 0) && PyCell_Check(value)) {
      value = PyCell_GET(value);
      if (value == nullptr) continue;
    }
    if (PyDict_SetItem(locals.get(), PyTuple_GET_ITEM(code->co_localsplusnames, i), value) < 0) {
      throw_py();
    }
  }
  if (frame->f_extra_locals != nullptr) {
    // Any hashable the program used as a name: its hash and comparison may
    // run code, so the extra locals are merged as dict.update would.
    if (PyDict_Update(locals.get(), frame->f_extra_locals) < 0) throw_py();
  }
  return locals;
}

}  // namespace vask

#endif
