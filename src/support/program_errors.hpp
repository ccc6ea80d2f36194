// Which exceptions met inside vask's own recording work belong to the traced
// program and must reach it, rather than being contained.
#pragma once

#include "support/py.hpp"

namespace vask {

// Whether `exc` (an exception instance, borrowed) is the traced program's own
// control flow that merely surfaced inside vask's recording code, and so must
// be raised to the program where it would arrive untraced:
//   * any exception that is not an Exception (KeyboardInterrupt, SystemExit,
//     GeneratorExit ...);
//   * any exception whose traceback passes through the code of a Python
//     signal handler installed at this moment (`signal.signal`): a handler
//     runs wherever the interpreter happens to check for signals, which may
//     be a repr that vask called, and a SIGALRM timeout raised there is the
//     program's, not the value's.
// Everything else (a raising __repr__, a MemoryError of vask's own) is an
// error of recording and may be contained.
//
// Meant for the error path only: it reads the signal module's handler table
// (one getsignal call per signal number) each time. GIL held; no Python error
// may be set on entry, and none is set on return. Never throws but for a
// forced unwind.
bool belongs_to_program(PyObject* exc);

}  // namespace vask
