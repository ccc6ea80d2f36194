"""Storage of trace documents in SQLite: the public face of :mod:`vask.storage`.

:func:`save_trace` is the entry the native engines and users call; it hands
the document to the storage writer (:func:`vask.storage.writer.save_trace`).
The reading, maintenance and side-file functions of the storage package are
named here too, as users import them from here.
"""

from __future__ import annotations

import os
from pathlib import Path

from vask.document import (
    OUTCOMES,
    PLAUSIBLE_TIMES,
    document_damage,
    document_outcome,
    plausible_time,
    read_process,
    read_process_facts,
)
from vask.storage import writer
from vask.storage.maintain import compact, delete_traces, find_damage, prune
from vask.storage.query import (
    DocumentReader,
    RootTotals,
    TracePoint,
    TraceSummary,
    child_traces,
    document_rows,
    list_traces,
    load_trace,
    open_document,
    process_tree,
    read_document_part,
    root_totals,
    stored_process,
    trace_points,
)
from vask.storage.schema import (
    SCHEMA_VERSION,
    NotATraceDatabase,
    UnsafeLocation,
    connect,
    connect_readonly,
    failure_reason,
    open_reader,
)
from vask.storage.spool import (
    KeptAside,
    keep_aside,
    kept_aside,
    read_side_file,
    side_file_directories,
    still_kept_aside,
    write_side_file,
)
from vask.storage.store import StoredRow, save_traces, store_document, store_file

__all__ = [
    "OUTCOMES",
    "PLAUSIBLE_TIMES",
    "SCHEMA_VERSION",
    "DocumentReader",
    "KeptAside",
    "NotATraceDatabase",
    "RootTotals",
    "StoredRow",
    "TracePoint",
    "TraceSummary",
    "UnsafeLocation",
    "child_traces",
    "compact",
    "connect",
    "connect_readonly",
    "delete_traces",
    "document_damage",
    "document_outcome",
    "document_rows",
    "failure_reason",
    "find_damage",
    "keep_aside",
    "kept_aside",
    "list_traces",
    "load_trace",
    "open_document",
    "open_reader",
    "plausible_time",
    "process_tree",
    "prune",
    "read_document_part",
    "read_process",
    "read_process_facts",
    "read_side_file",
    "root_totals",
    "save_trace",
    "save_traces",
    "side_file_directories",
    "still_kept_aside",
    "store_document",
    "store_file",
    "stored_process",
    "trace_points",
    "write_side_file",
]


def save_trace(
    trace_id: str,
    timeout: float = 60,
    msgpack_data: bytes | None = None,
    db_path: str | os.PathLike[str] | None = None,
    *,
    keep_aside: bool = True,
) -> Path | None:
    """Store one trace document under ``trace_id`` as a new row; a large one in pieces.

    A database that does not take it keeps it in a side file, which is
    returned (``None`` when stored); a store made while the program records
    is handed to the background writer.  See
    :func:`vask.storage.writer.save_trace`.
    """
    return writer.save_trace(trace_id, timeout, msgpack_data, db_path, keep_aside=keep_aside)
