// The trace index's tree linking for the common records, natively: calls
// whose function the index already names, and returns and unwinds that close
// the innermost open call. It works on the index's own arrays and lists
// (vask.traceindex.ThreadIndex and its build state) with the GIL held, and
// stops at the first record it does not link, which the index's Python code
// then links: so both always make the same tree.
#pragma once

#include "support/py.hpp"

namespace vask::scan {

// _link_records(thread, state, names, closed_names, buf, columns, first, rec0, i, /)
//     -> (stopped_at, kind, open_rec, close_rec, start, end, parent,
//         first_child, next_sibling, calls_below, name_id)
// Links the records of `columns` (as _scan_records gives them for the
// records of `buf` from offset `first`, numbered from `rec0`) from the i-th
// on; returns the index of the first record not linked and the new nodes'
// columns, to be appended to the thread's arrays in that order (native byte
// order, the arrays' own item types).
PyObject* py_link_records(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vask::scan
