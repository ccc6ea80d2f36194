// The document scanner as vask._dump exposes it to the trace index
// (vask.traceindex): an internal entry, not part of the public surface.
#pragma once

#include "support/py.hpp"

namespace vask::scan {

// _scan_records(data, start, count, earliest, latest, origin, width, /) ->
//     (next, stop, ends, codes, times, spans, starts)
// `data` is any contiguous bytes-like object; the columns come back as bytes
// in native byte order (array typecodes "q", "B", "d", "q"; see scanner.hpp);
// `starts` are the records' positions plus `origin`, `width` (4 or 8) bytes each.
// The scan runs with the GIL released.
PyObject* py_scan_records(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _spans_lacking(data, needle, spans, /) -> bytes: see spans_lacking; `spans` is
// a bytes-like object of native 64-bit ints, two per span (GIL released).
PyObject* py_spans_lacking(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _cut_ids_and_times(data, /) -> bytes: see cut_frame_ids_and_times (GIL released).
PyObject* py_cut_ids_and_times(PyObject* module, PyObject* data);

// _decode_index_block(block, layout, lo, hi, /) -> tuple of bytes
// Rows [lo, hi) of a calls index block (decompressed), or of a tuple of a
// trace's consecutive blocks read as one run of rows (lo and hi tuples of as
// many ints: several runs of those rows, one after another), one bytes object per
// column of `layout` (see index_block.hpp), in native byte order, ready for
// array.frombytes; ValueError for blocks that do not hold them. The GIL is
// released while it decodes.
PyObject* py_decode_index_block(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _call_rows(document, table, earliest, latest, /) -> text | tuple
// The calls index's rows of one trace document (see call_rows.hpp): `table`
// its records' table or None. A text says why there are none; else
// (threads, keys, exc_types, count, rows): threads as (key, name) bytes in
// the index's order; (qualname, file) bytes per group of rows; the exception
// type names (bytes); the count of rows (calls and folded ranges); and the
// rows themselves, held (with the document) for _encode_call_index. The rows
// are read with the GIL released.
PyObject* py_call_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _encode_call_index(rows, ids, block_rows, start_ticks, finest_tick, /)
//     -> text | (first, base, tick, total, raised, longest, longest_raised,
//                summary, blocks)
// The calls index of the rows _call_rows read (see call_columns.hpp): `ids`
// the name id of each of their keys. A text says why there is none; else the earliest start (None
// when no row has one), the base and tick of its times, the rows and those
// that raised, the longest durations of all and of those that raised (in
// ticks, -1 for none), per name (key, calls, raised, longest, first_row) in
// the order of their ids, and the blocks, uncompressed. The GIL is released
// while it encodes.
PyObject* py_encode_call_index(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _count_calls(document, table, /) -> int | None: the call records of a document
// as vask.document.CALL_PATTERN counts them, found by its records' table (see
// count_call_records); None when the table does not match it. GIL released.
PyObject* py_count_calls(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _document_table(document, /) -> bytes | None: the records' table of the
// document this thread is handing to vask.db.save_trace (see
// kHandedTableKey), None for any other object.
PyObject* py_document_table(PyObject* module, PyObject* document);

}  // namespace vask::scan
