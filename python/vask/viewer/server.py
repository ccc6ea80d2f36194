"""The viewer's web server: the page in ``static/`` and a JSON API, on 127.0.0.1 only.

The database is only read, but for the calls index when the page asks for
it (``POST /api/calls/index``), and documents are read part by part (on
Python 3.11 and later; 3.10 reads each document whole), so the server
holds a trace's index, not its documents.  Indexes are built in the
background; until one is ready its trace answers with its progress.

API (GET but for the one POST, all JSON):

=====================================  ======================================
``/api/traces``                        the stored traces, newest first, each
                                       run's child processes under it
``/api/trace/ID``                      facts and threads (or indexing progress)
``/api/trace/ID/children``             ``thread``, ``node``, ``offset``, ``limit``, ``group``
``/api/trace/ID/node``                 ``thread``, ``node``: one call in full
``/api/trace/ID/timeline``             ``thread``, ``from``, ``to`` (seconds), ``width`` (pixels)
``/api/trace/ID/search``               ``q``, ``mode`` (name, value), ``node`` or ``cursor``
``/api/calls``                         ``q``: calls across every trace, as ``vask calls``
                                       takes its query, from the calls index as it stands,
                                       with how many traces it lacks and how far
                                       indexing them has come
``POST /api/calls/index``              index the traces it lacks, in the background
                                       (the page's own request: header ``X-Vask: 1``)
``/api/trace/ID/tasks``                ``thread``, ``offset``, ``limit``: a page of its
                                       tree by asyncio task, one root per task; with
                                       ``task``: a page of a task's entries; with
                                       ``index_of``: a task's place in the list; with
                                       ``node``: the node's place in the tree by task
                                       (``children`` with ``group=task`` pages the
                                       levels below)
=====================================  ======================================
"""

from __future__ import annotations

import json
import mimetypes
import re
import sqlite3
import threading
import time
from collections import OrderedDict
from collections.abc import Callable
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any
from urllib.parse import parse_qs, unquote, urlsplit

from vask import render
from vask.storage import maintain, query, schema
from vask.traceindex import StoredDocument, TraceIndex, build_index, stored_sources
from vask.viewer import queries, tasks

__all__ = ["STATIC_DIR", "Viewer", "make_server"]

STATIC_DIR = Path(__file__).resolve().parent / "static"
_TRACE_ID = re.compile(r"^[A-Za-z0-9_.:-]{1,128}$")
_STATIC_NAME = re.compile(r"^[A-Za-z0-9_-]+\.(html|css|js|svg|png|ico)$")
#: How many calls the indexes kept in memory may hold together.
_INDEXED_CALLS = 3_000_000
#: How many flushed subtrees' indexes the timeline has built at a time.
_SUBTREE_BUILDS = 2
# How long a diff request waits for the two traces' indexes before it answers with progress.
_DIFF_WAIT = 1.2
_REQUEST_METHODS = ("children", "node", "timeline", "search", "tasks")


class NotFound(LookupError):
    """A trace, file or path the server does not have."""


class _Entry:
    """A trace's index, or how far its building has come."""

    def __init__(self) -> None:
        self.index: TraceIndex | None = None
        self.error: str | None = None
        self.done = 0
        self.total = 0
        self.sources: list[Any] = []
        self.started = time.monotonic()
        self.ready = threading.Event()
        #: Built for the timeline, which made room for it first: nothing is forgotten after.
        self.budgeted = False


class _CallsIndexing:
    """A build of the calls index for the page, on a daemon thread: the server's
    requests go on meanwhile, and what is indexed is searchable as each few traces
    commit.  Stopping the server mid-build loses nothing: a trace is indexed in a
    transaction of its own, or a few together, and the rest stay pending."""

    def __init__(self, db_path: Path, timeout: float) -> None:
        self.done = 0
        self.total = 0
        self.error: str | None = None
        self.finished = threading.Event()
        thread = threading.Thread(
            target=self._run, args=(db_path, timeout), name="vask-viewer-calls-index", daemon=True
        )
        thread.start()

    def _progress(self, done: int, total: int) -> None:
        self.done, self.total = done, total

    def _run(self, db_path: Path, timeout: float) -> None:
        from vask import callsearch

        try:
            callsearch.ensure_index(db_path, timeout, self._progress)
        except Exception as error:  # noqa: BLE001 - told to the page, the server goes on
            self.error = f"{type(error).__name__}: {error}"
        finally:
            self.finished.set()


class Viewer:
    """What the server knows: the database, and the indexes of the traces opened so far."""

    def __init__(self, db_path: Path, timeout: float = 60) -> None:
        self.db_path = db_path
        self.timeout = timeout
        self._lock = threading.Lock()
        self._entries: OrderedDict[str, _Entry] = OrderedDict()
        self._trace_points: dict[str, tuple[float, list[dict[str, Any]]]] = {}
        self._conn: sqlite3.Connection | None = None
        # Serialises every use of the connection and of its blob handles.
        # Lock order: _lock, then _conn_lock.
        self._conn_lock = threading.Lock()
        # Diffs asked for by the page, by (A, B); computed one at a time.
        self._diffs: dict[tuple[str, str], dict[str, Any]] = {}
        self._diff_lock = threading.Lock()
        # The calls index built on the page's asking (see index_calls); guarded by _lock.
        self._indexing: _CallsIndexing | None = None

    # -- the database ------------------------------------------------------

    def _reader(self) -> sqlite3.Connection:
        with self._lock:
            if self._conn is None:
                conn = schema.open_reader(self.db_path, self.timeout)
                if conn is None:
                    raise NotFound(f"no database at {self.db_path}")
                self._conn = conn
            return self._conn

    def close(self) -> None:
        for entry in list(self._entries.values()):
            self._close_sources(entry)
        with self._lock:
            if self._conn is not None:
                with self._conn_lock:
                    self._conn.close()
                self._conn = None

    def traces(self) -> list[dict[str, Any]]:
        summaries = query.list_traces(self.db_path, timeout=self.timeout)
        if not summaries:
            return []
        damage = maintain.find_damage(self.db_path, timeout=self.timeout)
        points = query.trace_points(self.db_path, timeout=self.timeout)
        totals = query.root_totals(self.db_path, timeout=self.timeout, points=points)
        sources = self._sources([s.trace_id for s in summaries])
        out = []
        # The traces of the processes a traced program started follow its own.
        for depth, s in query.process_tree(summaries):
            is_root = s.root_trace_id in (None, s.trace_id)
            total = totals.get(s.trace_id) if is_root else None
            item = {
                "id": s.trace_id,
                "name": s.trace_name or s.process_name,
                "depth": depth,
                "pid": s.pid,
                "parent_pid": s.parent_pid,
                "timestamp": s.timestamp,
                "time": render.format_time(s.timestamp if s.timestamp is not None else s.stored_at),
                "calls": total.calls if total is not None else s.calls,
                "size": total.size if total is not None else s.size,
                "size_text": render.format_bytes(total.size if total is not None else s.size),
                "documents": s.documents,
                "subtree_of": None if is_root else s.root_trace_id,
                "subtrees": total.subtrees if total is not None else 0,
                "trace_points": total.trace_points if total is not None else 0,
                # the function of a trace point (its subtree_of is its trace)
                "trace_point": points[s.trace_id].co_name if s.trace_id in points else None,
                "source": sources.get(s.trace_id),
                "damaged": [{"document": n, "reason": r} for n, r in damage.get(s.trace_id, [])],
            }
            out.append(item)
        return out

    def _sources(self, ids: list[str]) -> dict[str, str]:
        """What made each trace ("pytest", "django", "cli", "api"), from its first head."""
        conn = self._reader()
        out = {}
        with self._conn_lock:
            rows = conn.execute("SELECT trace_id, MIN(id) FROM traces GROUP BY trace_id").fetchall()
        first_rows = dict(rows)
        for trace_id in ids:
            row_id = first_rows.get(trace_id)
            if row_id is None:
                continue
            # The lock is taken per head: the trees' requests, which read through
            # the same connection, go on between them.
            with self._conn_lock:
                try:
                    head = query.read_document_part(conn, row_id, 0, 4096)
                except sqlite3.Error:
                    continue
            source = _source_of(head)
            if source is not None:
                out[trace_id] = source
        return out

    def known(self, trace_id: str) -> bool:
        if not _TRACE_ID.match(trace_id):
            return False
        conn = self._reader()
        with self._conn_lock:
            row = conn.execute(
                "SELECT 1 FROM traces WHERE trace_id = ? LIMIT 1", (trace_id,)
            ).fetchone()
        return row is not None

    # -- indexes -----------------------------------------------------------

    def entry(self, trace_id: str, budgeted: bool = False) -> _Entry:
        """The trace's index entry, starting its building when it is new."""
        if not self.known(trace_id):
            raise NotFound(f"no trace {trace_id}")
        with self._lock:
            entry = self._entries.get(trace_id)
            if entry is not None:
                self._entries.move_to_end(trace_id)
                return entry
            entry = self._entries[trace_id] = _Entry()
            entry.budgeted = budgeted
        threading.Thread(
            target=self._build, args=(trace_id, entry), name=f"index {trace_id}", daemon=True
        ).start()
        return entry

    def index(self, trace_id: str, wait: float = 0) -> TraceIndex | None:
        entry = self.entry(trace_id)
        entry.ready.wait(wait)
        if entry.error is not None:
            raise NotFound(entry.error)
        return entry.index

    def _build(self, trace_id: str, entry: _Entry) -> None:
        try:
            conn = self._reader()
            sources = stored_sources(conn, self._conn_lock, self.db_path, trace_id, self.timeout)
            entry.sources = sources
            entry.total = sum(s.size for s in sources)

            def progress(done: int, total: int) -> None:
                entry.done = done

            entry.index = build_index(trace_id, sources, progress)
        except Exception as error:  # noqa: BLE001 - reported to the page, the server goes on
            entry.error = f"trace {trace_id} cannot be read: {error}"
        finally:
            entry.done = entry.total
            entry.ready.set()
            if not entry.budgeted:
                self._evict()
        if entry.index is not None:
            # Threads with asyncio tasks are grouped by task now, while the page
            # shows them by thread: the toggle then answers at once.
            for thread in entry.index.threads.values():
                if thread.task_nodes:
                    tasks.prepare(thread)

    def _evict(self) -> None:
        """Forget the least recently used indexes while they hold too many calls together."""
        with self._lock:
            while len(self._entries) > 1:
                held = sum(e.index.calls for e in self._entries.values() if e.index is not None)
                if held <= _INDEXED_CALLS:
                    break
                oldest = next(iter(self._entries))
                if not self._entries[oldest].ready.is_set():
                    break
                self._close_sources(self._entries.pop(oldest))

    def _close_sources(self, entry: _Entry) -> None:
        """Close the blob handles of a forgotten index (they take ``_conn_lock``)."""
        for source in entry.sources:
            if isinstance(source, StoredDocument):
                source.close()

    def loader(self) -> Callable[[str], TraceIndex | None]:
        """Reads linked traces (flushed subtrees) for the page, waiting for their index."""

        def load(trace_id: str) -> TraceIndex | None:
            try:
                return self.index(trace_id, wait=600)
            except NotFound:
                return None

        return load

    def subtree_lookup(self, keep: str = "") -> queries.SubtreeLookup:
        """Flushed subtrees for one timeline answer of trace ``keep``: their index, or loading.

        At most ``_SUBTREE_BUILDS`` indexes are built at a time; a subtree
        asked for meanwhile answers "loading", and the page asks again.  A
        new one is built only while the indexes held stay within
        ``_INDEXED_CALLS``, the least recently used ones forgotten first
        (never ``keep`` nor a subtree of the same answer); past that the
        subtree is not drawn (the page says to zoom in).
        """
        used: set[str] = set()

        def lookup(trace_id: str) -> tuple[TraceIndex | None, bool]:
            if not _TRACE_ID.match(trace_id):
                return None, False
            with self._lock:
                entry = self._entries.get(trace_id)
                if entry is not None:
                    self._entries.move_to_end(trace_id)
                if keep in self._entries:  # the trace shown stays the most recently used
                    self._entries.move_to_end(keep)
                busy = sum(not e.ready.is_set() for e in self._entries.values())
            if entry is None:
                if busy >= _SUBTREE_BUILDS:
                    return None, True
                if not self._make_room({keep, *used}):
                    return None, False
                try:
                    entry = self.entry(trace_id, budgeted=True)
                except NotFound:
                    return None, False
            used.add(trace_id)
            if not entry.ready.is_set():
                return None, True
            return (entry.index, False) if entry.error is None else (None, False)

        return lookup

    def _make_room(self, keep: set[str]) -> bool:
        """Forget least recently used indexes (not those in ``keep``) until the rest hold room."""
        with self._lock:
            while True:
                held = sum(e.index.calls for e in self._entries.values() if e.index is not None)
                if held < _INDEXED_CALLS:
                    return True
                oldest = next(
                    (k for k, e in self._entries.items() if k not in keep and e.ready.is_set()),
                    None,
                )
                if oldest is None:
                    return False
                self._close_sources(self._entries.pop(oldest))

    def diff(self, a: str, b: str) -> dict[str, Any]:
        """The page's view of trace ``a`` compared with ``b`` (the last few are kept)."""
        from vask.diff import diff_traces, merged_rows

        with self._diff_lock:
            cached = self._diffs.get((a, b))
            if cached is not None:
                return cached
            first_index, second_index = self.index(a), self.index(b)
            if first_index is None or second_index is None:
                raise NotFound("the traces are not indexed yet")
            load = self.loader()
            result = diff_traces(first_index, second_index, load_a=load, load_b=load)
            rows, cut = merged_rows(result)
            first = result.first
            answer = {
                "a": a,
                "b": b,
                "counts": {
                    "matched": result.matched,
                    "changed": result.changed,
                    "added": result.added,
                    "removed": result.removed,
                },
                "rows": rows,
                "cut": cut,
                "first": next(
                    (i for i, r in enumerate(rows) if first and r.get("key") == first.key), None
                ),
            }
            if len(self._diffs) >= 4:
                self._diffs.pop(next(iter(self._diffs)))
            self._diffs[a, b] = answer
            return answer

    def calls(self, text: str, limit: int = 200) -> dict[str, Any]:
        """The calls across every trace that a query finds (at most ``limit``).

        Only what the calls index covers is searched, and the database stays
        unchanged: the traces it does not cover yet are counted
        (``not_indexed``), for the page to offer to index them
        (:meth:`index_calls`, whose progress ``indexing`` tells).
        """
        from vask import callsearch
        from vask.storage import callindex

        try:
            asked = callsearch.parse_query(text)
        except callsearch.QueryError as error:
            raise queries.BadRequest(str(error)) from None
        if "pattern" not in asked:
            raise queries.BadRequest("a query names the calls first: a name pattern, '*' for any")
        asked["limit"] = min(asked.get("limit", limit), limit)
        # read before the matches: a build that ends while they are read is told as
        # running, so that the page asks again and finds what its last commit added
        indexing = self.calls_indexing()
        matches = []
        for match in callsearch.find_calls(
            self.db_path, timeout=self.timeout, build=False, **asked
        ):
            start, end = match.start_record, match.end_record
            shown = _ShownCall(start, end)
            label = (
                "".join(text for _, text in render._call_parts(shown, 60))
                if start is not None or end is not None
                else f"{match.qualname} ×{match.folded or 0} folded"
            )
            matches.append(
                {
                    "trace": match.trace_id,
                    "test": match.test,
                    "test_outcome": match.test_outcome,
                    "thread": match.thread,
                    "thread_name": match.thread_name,
                    "node": match.node,
                    "label": label,
                    "outcome": match.outcome,
                    "duration": match.duration,
                    "truncated": match.truncated,
                }
            )
        # counted on a connection of its own: the server's keeps the snapshot its open
        # documents were read in, before the traces stored or indexed since
        conn = schema.connect_readonly(self.db_path, self.timeout)
        try:
            pending = len(callindex.pending_traces(conn))
        finally:
            conn.close()
        return {
            "matches": matches,
            "limit": asked["limit"],
            "not_indexed": pending,
            "indexing": indexing,
        }

    def index_calls(self) -> dict[str, Any]:
        """Index the traces the calls index does not cover yet, on a thread of its own
        (one build at a time: asked again meanwhile, the one under way goes on);
        answers :meth:`calls_indexing`.  The page asks for it: this is the viewer's only
        write to the database, and only to the index (derived from the traces)."""
        with self._lock:
            if self._indexing is None or self._indexing.finished.is_set():
                self._indexing = _CallsIndexing(self.db_path, self.timeout)
        return self.calls_indexing()

    def calls_indexing(self) -> dict[str, Any] | None:
        """How far the build :meth:`index_calls` started has come (``None``: none was
        asked for): ``done`` of ``total`` traces, ``running``, and ``error`` when it
        failed (the traces it did not reach stay searchable once indexed otherwise)."""
        with self._lock:
            indexing = self._indexing
        if indexing is None:
            return None
        return {
            "done": indexing.done,
            "total": indexing.total,
            "running": not indexing.finished.is_set(),
            "error": indexing.error,
        }

    def trace_points(self, trace: TraceIndex) -> list[dict[str, Any]]:
        """The trace points stored while ``trace`` was recorded (see :func:`vask.db.trace_points`).

        Each is named by the frame id of the call it stored, as ``trace``'s
        records have it.  Looked up again at most every few seconds per trace.
        """
        with self._lock:
            cached = self._trace_points.get(trace.trace_id)
        if cached is not None and time.monotonic() - cached[0] < 5:
            return cached[1]
        found = [
            {"trace": point.trace_id, "name": point.co_name, "frame_id": point.frame_id}
            for point in query.trace_points(
                self.db_path, trace.trace_id, timeout=self.timeout
            ).values()
        ]
        with self._lock:
            self._trace_points[trace.trace_id] = (time.monotonic(), found)
        return found


def _source_of(head: bytes) -> str | None:
    """The "meta" "source" of a document from its first bytes, when they hold it."""
    import msgpack

    unpacker = msgpack.Unpacker(None, raw=False, strict_map_key=False, unicode_errors="replace")
    unpacker.feed(head)
    try:
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "meta":
                meta = unpacker.unpack()
                source = meta.get("source") if isinstance(meta, dict) else None
                return source if isinstance(source, str) else None
            if key in ("threads", "command_line_args"):
                return None
            unpacker.skip()
    except Exception:  # noqa: BLE001 - a head cut short or damaged: no source
        return None
    return None


class _ShownCall:
    """A call's two records shaped as a call node for the text view's call line."""

    kind = "call"

    def __init__(self, start: Any, end: Any) -> None:
        self.start = start
        self.end = end
        self.record = start if start is not None else (end or {})


class _Handler(BaseHTTPRequestHandler):
    server_version = "vask-viewer"
    protocol_version = "HTTP/1.1"
    viewer: Viewer

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base's name
        pass  # quiet: the terminal shows the URL and the stop message only

    def do_GET(self) -> None:  # noqa: N802 - the base's name
        self._answer(self._route)

    def do_POST(self) -> None:  # noqa: N802 - the base's name
        self._answer(self._route_post)

    def _answer(self, route: Callable[[], None]) -> None:
        try:
            if not self._host_allowed():
                # Another site resolving its name to 127.0.0.1 (DNS rebinding) must not
                # read the traces: only requests addressed to this server are answered.
                return self._json({"error": "unknown host"}, HTTPStatus.FORBIDDEN)
            route()
        except NotFound as error:
            self._json({"error": str(error)}, HTTPStatus.NOT_FOUND)
        except queries.BadRequest as error:
            self._json({"error": str(error)}, HTTPStatus.BAD_REQUEST)
        except (BrokenPipeError, ConnectionResetError):
            pass
        except Exception as error:  # noqa: BLE001 - one request fails, the server goes on
            self._json(
                {"error": f"{type(error).__name__}: {error}"}, HTTPStatus.INTERNAL_SERVER_ERROR
            )

    def _host_allowed(self) -> bool:
        host = self.headers.get("Host", "")
        port = self.server.server_address[1]
        return host in (f"127.0.0.1:{port}", f"localhost:{port}")

    def _route_post(self) -> None:
        """The one request that writes: index the traces the calls index lacks.  Only the
        page asks it: a form or a link of another site cannot send its header, and a
        script of another site would be refused by the browser before sending it (this
        server answers no preflight)."""
        length = int(self.headers.get("Content-Length") or 0)
        if length:
            self.rfile.read(min(length, 1 << 16))
        origin = self.headers.get("Origin")
        port = self.server.server_address[1]
        pages = (f"http://127.0.0.1:{port}", f"http://localhost:{port}")
        if self.headers.get("X-Vask") != "1" or (origin is not None and origin not in pages):
            return self._json({"error": "not asked by the page"}, HTTPStatus.FORBIDDEN)
        if urlsplit(self.path).path != "/api/calls/index":
            raise NotFound(f"no such page: {self.path}")
        return self._json(self.viewer.index_calls())

    def _route(self) -> None:
        url = urlsplit(self.path)
        path = unquote(url.path)
        params = {k: v[-1] for k, v in parse_qs(url.query).items()}
        if path in ("/", "/index.html"):
            return self._static("index.html")
        if path == "/favicon.ico":
            return self._static("favicon.svg")
        if path.startswith("/static/"):
            return self._static(path[len("/static/") :])
        if path == "/api/traces":
            return self._json({"traces": self.viewer.traces()})
        if path == "/api/diff":
            return self._diff(params)
        if path == "/api/calls":
            return self._json(self.viewer.calls(params.get("q", "")))
        parts = path.split("/")
        if len(parts) in (4, 5) and parts[:3] == ["", "api", "trace"]:
            return self._trace(parts[3], parts[4] if len(parts) == 5 else "", params)
        raise NotFound(f"no such page: {path}")

    def _static(self, name: str) -> None:
        if not _STATIC_NAME.match(name):
            raise NotFound(f"no such file: {name}")
        file = (STATIC_DIR / name).resolve()
        if file.parent != STATIC_DIR or not file.is_file():
            raise NotFound(f"no such file: {name}")
        body = file.read_bytes()
        kind = mimetypes.guess_type(name)[0] or "application/octet-stream"
        if kind.startswith("text/") or kind == "application/javascript":
            kind += "; charset=utf-8"
        self._send(body, kind)

    def _trace(self, trace_id: str, what: str, params: dict[str, str]) -> None:
        viewer = self.viewer
        if what and what not in _REQUEST_METHODS:
            raise NotFound(f"no such page: {what}")
        entry = viewer.entry(trace_id)
        entry.ready.wait(0.5 if not what else 30)
        if entry.error is not None:
            raise NotFound(entry.error)
        trace = entry.index
        if trace is None:
            return self._json(
                {
                    "indexing": True,
                    "done": entry.done,
                    "total": entry.total,
                    "seconds": round(time.monotonic() - entry.started, 1),
                },
                HTTPStatus.ACCEPTED,
            )
        if not what:
            return self._json(queries.summary(trace))
        if what == "search":
            return self._json(self._search(trace, params))
        thread = queries.thread_of(trace, params.get("thread", ""))
        if what == "timeline":
            return self._json(
                queries.timeline(
                    trace,
                    thread,
                    _number(params, "from"),
                    _number(params, "to"),
                    int(_number(params, "width", 1000)),
                    viewer.subtree_lookup(trace.trace_id),
                )
            )
        if what == "tasks":
            if "task" in params:
                return self._json(
                    tasks.task_entries(
                        trace,
                        thread,
                        int(_number(params, "task")),
                        int(_number(params, "offset", 0)),
                        int(_number(params, "limit", 200)),
                    )
                )
            if "node" in params:
                return self._json(tasks.task_path(thread, queries.node_of(thread, params["node"])))
            if "index_of" in params:
                return self._json(tasks.task_index(thread, int(_number(params, "index_of"))))
            return self._json(
                tasks.tasks(
                    trace,
                    thread,
                    int(_number(params, "offset", 0)),
                    int(_number(params, "limit", 200)),
                )
            )
        node = queries.node_of(thread, params.get("node", "0"))
        if what == "children" and params.get("group") == "task":
            return self._json(
                tasks.task_children(
                    trace,
                    thread,
                    node,
                    int(_number(params, "offset", 0)),
                    int(_number(params, "limit", 200)),
                )
            )
        if what == "children":
            return self._json(
                queries.children(
                    trace,
                    thread,
                    node,
                    int(_number(params, "offset", 0)),
                    int(_number(params, "limit", 200)),
                    params.get("group", ""),
                )
            )
        return self._json(queries.details(trace, thread, node, viewer.trace_points(trace)))

    def _diff(self, params: dict[str, str]) -> None:
        """Two traces compared: the merged tree of their differences (see vask.diff)."""
        ids = (params.get("a", ""), params.get("b", ""))
        if not all(ids):
            raise queries.BadRequest("give two traces: ?a=ID&b=ID")
        entries = [self.viewer.entry(trace_id) for trace_id in ids]
        # Answered as soon as both are indexed, or with the progress every second or so.
        deadline = time.monotonic() + _DIFF_WAIT
        for entry in entries:
            entry.ready.wait(max(0.0, deadline - time.monotonic()))
            if entry.error is not None:
                raise NotFound(entry.error)
        if any(entry.index is None for entry in entries):
            return self._json(
                {
                    "indexing": True,
                    "done": sum(e.done for e in entries),
                    "total": sum(e.total for e in entries),
                    "seconds": round(time.monotonic() - min(e.started for e in entries), 1),
                },
                HTTPStatus.ACCEPTED,
            )
        self._json(self.viewer.diff(ids[0], ids[1]))

    def _search(self, trace: TraceIndex, params: dict[str, str]) -> dict[str, Any]:
        query = params.get("q", "").strip()
        if not query:
            raise queries.BadRequest("nothing to search for")
        if params.get("mode", "name") == "value":
            return queries.search_value(trace, query, int(_number(params, "cursor", 0)))
        after_thread = params.get("thread") or None
        after_node = int(_number(params, "node", 0))
        return queries.search_name(trace, query, after_thread, after_node)

    def _json(self, value: Any, status: HTTPStatus = HTTPStatus.OK) -> None:
        body = json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
        self._send(body.encode("utf-8"), "application/json; charset=utf-8", status)

    def _send(self, body: bytes, kind: str, status: HTTPStatus = HTTPStatus.OK) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header(
            "Content-Security-Policy",
            "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'",
        )
        self.end_headers()
        self.wfile.write(body)


def _number(params: dict[str, str], key: str, default: float | None = None) -> float:
    text = params.get(key)
    if text is None:
        if default is None:
            raise queries.BadRequest(f"missing {key}")
        return default
    try:
        value = float(text)
    except ValueError:
        raise queries.BadRequest(f"{key} is not a number: {text!r}") from None
    if value != value or value in (float("inf"), float("-inf")):
        raise queries.BadRequest(f"{key} is not a number: {text!r}")
    return value


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def make_server(viewer: Viewer, port: int = 0) -> ThreadingHTTPServer:
    """A server for ``viewer`` on 127.0.0.1 (``port`` 0: one the system chooses)."""
    handler = type("Handler", (_Handler,), {"viewer": viewer})
    return _Server(("127.0.0.1", port), handler)
