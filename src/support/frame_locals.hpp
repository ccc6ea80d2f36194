// A function frame's variables as Python 3.13's f_locals proxy lists them,
// read from the frame itself.
#pragma once

#include "support/py.hpp"

namespace vask {

#if PY_VERSION_HEX >= 0x030D0000
// dict(frame.f_locals.items()) for a frame whose f_locals is a write-through
// proxy (an optimized code object: a function, a comprehension, a
// generator): the frame's bound variables in the code object's order, cells
// and free variables read through, then the names the program added through
// the proxy, in their order. No proxy object, no list of pairs: the dict is
// the only allocation. Returns a null Ref, with no error set, for a frame
// whose f_locals is not such a proxy (module and class bodies); throws
// PyErrSet when an insert fails. GIL held; `frame` is live or finished, never
// a frame still being set up.
Ref function_frame_locals(PyFrameObject* frame);
#endif

}  // namespace vask
