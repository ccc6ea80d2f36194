"""The PostgreSQL backend against a real server: URLs and the password, vask's own schema,
TLS as asked, every reader of the CLI and the viewer, a server that is down or restarts,
and many writers of every kind at once."""

from __future__ import annotations

import itertools
import json
import os
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

import msgpack
import pytest
from pgcluster import PASSWORD, PASSWORD_ROLE
from vask import db
from vask.document import decode_document
from vask.storage import backend, maintain, query, schema, store

VASK = [sys.executable, "-m", "vask"]


def run(argv, cwd, env=None, check=True, timeout=120):
    done = subprocess.run(
        argv, cwd=cwd, capture_output=True, text=True, timeout=timeout,
        env={**os.environ, **(env or {})},
    )  # fmt: skip
    if check and done.returncode != 0:
        raise AssertionError(f"{argv} failed ({done.returncode}):\n{done.stdout}\n{done.stderr}")
    return done


PROGRAM = """
import sys

def work(n):
    secret_total = sum(range(n))
    return secret_total

print(work(int(sys.argv[1]) if len(sys.argv) > 1 else 5))
"""


@pytest.fixture
def url(pg_cluster, request):
    """A schema of its own on the session's cluster."""
    return pg_cluster.url(schema=f"p{os.getpid()}_{abs(hash(request.node.nodeid)) % 10**8}")


@pytest.fixture
def project(tmp_path):
    (tmp_path / "prog.py").write_text(PROGRAM)
    return tmp_path


def stored_documents(url, trace_id):
    """Every document of a trace, decoded whole (a half document would not decode)."""
    return [decode_document(data) for data in db.load_trace(url, trace_id)]


class TestUrlsAndSecrets:
    def test_a_url_survives_the_path_the_engines_hand_it_back_as(self, pg_cluster):
        url = backend.locate(pg_cluster.url(schema="s1", password="p@ss/word"))
        assert backend.locate(Path(str(url))) is url
        assert backend.locate(url.full_text()) == url
        assert "p@ss" not in str(url) and "p@ss" not in repr(url)
        assert url.schema == "s1" and "schema" not in url.conninfo()
        with pytest.raises(ValueError, match="schema"):
            backend.locate("postgresql://h/db?schema=x;drop")
        tls = backend.locate("postgresql://h/db?sslmode=verify-full&sslrootcert=/ca.pem")
        assert "sslmode=verify-full" in tls.conninfo() and "sslrootcert=/ca.pem" in tls.conninfo()

    def test_the_password_never_shows_in_errors_logs_traces_or_output(
        self, pg_cluster, project, caplog, monkeypatch
    ):
        monkeypatch.chdir(project)
        wrong = pg_cluster.url(user=PASSWORD_ROLE, password="Wr0ng-Secret", dbname="vask_pw")
        with pytest.raises(backend.ServerError) as refused:
            db.list_traces(wrong)
        assert "password authentication failed" in str(refused.value)
        assert "Wr0ng-Secret" not in str(refused.value)
        # A store the server refuses is kept aside and logged, without the password.
        path = db.save_trace("trc_refused", msgpack_data=_document("trc_refused"), db_path=wrong)
        assert path is not None and path.exists()
        assert "Wr0ng-Secret" not in caplog.text and "trc_refused" in caplog.text
        path.unlink()

        right = pg_cluster.url(user=PASSWORD_ROLE, password=PASSWORD, dbname="vask_pw")
        done = run([*VASK, "run", "--db", right, "prog.py", "7"], project)
        assert "warning: the password in --db is visible" in done.stderr
        assert PASSWORD not in done.stdout + done.stderr
        listed = run([*VASK, "traces", "list", "--db", right], project).stdout
        [trace_id] = [line.split()[0] for line in listed.splitlines()[1:]]
        shown = run([*VASK, "traces", "show", trace_id, "--db", right], project)
        assert "work(n=7)" in shown.stdout and PASSWORD not in shown.stdout + shown.stderr
        for data in db.load_trace(right, trace_id):
            assert PASSWORD.encode() not in data
        # pytest's command line is stored with each test's trace: without the password.
        (project / "test_one.py").write_text("def test_one():\n    assert 1\n")
        done = run(
            [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--vask",
             "--vask-db", right, "test_one.py"],  # fmt: skip
            project,
        )
        assert "password in --vask-db is visible" in done.stdout + done.stderr
        assert PASSWORD not in done.stdout + done.stderr
        tests = [s for s in db.list_traces(right) if s.trace_name and "test_one" in s.trace_name]
        assert len(tests) == 1
        command = stored_documents(right, tests[0].trace_id)[0].get("command_line_args")
        assert command and any("vask_pw" in arg for arg in command)
        for data in db.load_trace(right, tests[0].trace_id):
            assert PASSWORD.encode() not in data
        # Without the password in the URL, libpq's environment gives it.
        env_url = pg_cluster.url(user=PASSWORD_ROLE, dbname="vask_pw")
        done = run([*VASK, "traces", "list", "--db", env_url], project, {"PGPASSWORD": PASSWORD})
        assert trace_id in done.stdout and "warning" not in done.stderr

    def test_tls_is_used_as_the_url_asks(self, pg_cluster):
        # The test server speaks no TLS: a URL that requires it is refused, not
        # served in the clear; one that allows the clear is served.
        with pytest.raises(backend.ServerError, match="SSL"):
            db.list_traces(pg_cluster.tcp_url() + "&sslmode=require")
        assert db.list_traces(pg_cluster.tcp_url() + "&sslmode=prefer") == []

    def test_vask_touches_only_its_own_schema(self, pg_cluster, url):
        import psycopg

        other = pg_cluster.url(schema="other_app")
        with psycopg.connect(backend.locate(other).conninfo(), autocommit=True) as conn:
            conn.execute("CREATE TABLE IF NOT EXISTS public.traces (x int)")
            conn.execute("INSERT INTO public.traces VALUES (1)")
        db.save_trace("trc_own", msgpack_data=_document("trc_own"), db_path=url)
        assert maintain.prune(url, 0) == 1 and maintain.compact(url) >= 0
        schema_name = backend.locate(url).schema
        with psycopg.connect(backend.locate(other).conninfo(), autocommit=True) as conn:
            tables = conn.execute(
                "SELECT table_name FROM information_schema.tables WHERE table_schema = %s",
                (schema_name,),
            ).fetchall()
            assert conn.execute("SELECT x FROM public.traces").fetchall() == [(1,)]
            conn.execute("DROP TABLE public.traces")
        assert {t for (t,) in tables} == {"traces", "trace_pieces", "schema_version"}

    def test_without_psycopg_the_error_names_the_extra(self, url, monkeypatch):
        monkeypatch.setitem(sys.modules, "psycopg", None)
        with pytest.raises(backend.DriverMissing, match=r"pip install 'vask\[postgres\]'"):
            db.list_traces(url)


def _document(trace_id, calls=1, root=None, pad=b""):
    frame = {"event": "call", "frame_id": "frm_" + "0" * 26, "locals": {"pad": pad}}
    return msgpack.packb(
        {
            "trace_id": trace_id,
            "trace_name": "t",
            "current_thread_id": "native_1",
            "timestamp": 1.0,
            "current_commit_sha": None,
            "root_trace_id": root or trace_id,
            "meta": {"version": "0.2"},
            "threads": {"native_1": {"frames": [msgpack.packb(frame)] * calls}},
            "frames_of_interest": [],
            "frames": {},
        },
        use_bin_type=True,
    )


class TestStoring:
    def test_a_large_document_is_stored_in_pieces_and_read_part_by_part(self, url, monkeypatch):
        monkeypatch.setattr(store, "_MAX_PIECE", 4096)
        data = _document("trc_big", calls=3, pad=os.urandom(50_000))
        db.save_trace("trc_big", msgpack_data=data, db_path=url)
        conn = schema.connect(url)
        try:
            (pieces,) = conn.execute("SELECT pieces FROM traces").fetchone()
            assert pieces > 10
            [(row_id, size)] = query.document_rows(conn, "trc_big")
            assert size == len(data)
            assert query.read_document_part(conn, row_id, 30_000, 100) == data[30_000:30_100]
        finally:
            conn.close()
        assert db.load_trace(url, "trc_big") == [data]
        assert maintain.find_damage(url) == {}
        assert db.delete_traces(url, ["trc_big"]) == 1
        conn = schema.connect(url)
        try:
            assert conn.execute("SELECT count(*) FROM trace_pieces").fetchone() == (0,)
        finally:
            conn.close()

    def test_a_store_is_one_transaction(self, url, monkeypatch):
        monkeypatch.setattr(store, "_MAX_PIECE", 1024)
        real = store.codec.Compressed.read
        calls = []

        def failing(self, offset, n):
            calls.append(offset)
            if len(calls) == 5:
                raise store.sqlite3.OperationalError("the connection went away")
            return real(self, offset, n)

        monkeypatch.setattr(store.codec.Compressed, "read", failing)
        data = _document("trc_half", pad=os.urandom(20_000))
        with pytest.raises(store.sqlite3.OperationalError):
            db.save_trace("trc_half", msgpack_data=data, db_path=url, keep_aside=False)
        conn = schema.connect(url)
        try:
            counts = conn.execute(
                "SELECT (SELECT count(*) FROM traces), (SELECT count(*) FROM trace_pieces)"
            ).fetchone()
        finally:
            conn.close()
        assert counts == (0, 0)


class TestReaders:
    def test_every_command_reads_and_changes_a_servers_database(self, url, project):
        ids = []
        for n in ("3", "4", "5"):
            run([*VASK, "run", "--db", url, "prog.py", n], project)
            ids.append(db.list_traces(url)[0].trace_id)
        listed = run([*VASK, "traces", "list", "--db", url], project).stdout
        assert all(i in listed for i in ids)
        shown = run([*VASK, "traces", "show", ids[0], "--db", url], project).stdout
        assert "work" in shown
        run([*VASK, "traces", "export", ids[0], "--db", url, "-o", "t.json"], project)
        assert json.loads((project / "t.json").read_text())
        diff = run([*VASK, "traces", "diff", ids[0], ids[1], "--db", url], project, check=False)
        assert diff.returncode in (0, 1) and "Traceback" not in diff.stderr
        assert "work" in diff.stdout
        _viewer_reads(url, ids[1])
        run([*VASK, "traces", "delete", ids[0], "--db", url], project)
        assert [s.trace_id for s in db.list_traces(url)] == [ids[2], ids[1]]
        run([*VASK, "traces", "prune", "--keep", "1", "--db", url], project)
        assert [s.trace_id for s in db.list_traces(url)] == [ids[2]]
        # The environment names the database where no option does.
        env = {"VASK_DB": url}
        assert ids[2] in run([*VASK, "traces", "list"], project, env).stdout

    def test_a_server_that_is_down_sends_the_trace_to_a_side_file(self, pg_cluster, url, project):
        down = f"postgresql://nobody@/postgres?host={project / 'no-server'}"
        (project / "no-server").mkdir()
        done = run([*VASK, "run", "--db", down, "prog.py"], project)
        assert "could not store trace" in done.stderr
        [side] = (project / ".vask" / "unsaved").glob("*.msgpack*")
        run([*VASK, "traces", "import", str(side), "--db", url], project)
        [summary] = db.list_traces(url)
        assert side.name.startswith(summary.trace_id)
        assert stored_documents(url, summary.trace_id)


def _viewer_reads(url, trace_id):
    from vask.viewer.server import Viewer, make_server

    viewer = Viewer(backend.locate(url))
    server = make_server(viewer, 0)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        base = f"http://127.0.0.1:{server.server_address[1]}"
        listed = json.load(urllib.request.urlopen(f"{base}/api/traces", timeout=30))
        assert trace_id in [t["id"] for t in listed["traces"]]
        for _ in range(100):
            facts = json.load(urllib.request.urlopen(f"{base}/api/trace/{trace_id}", timeout=30))
            if "threads" in facts:
                break
            time.sleep(0.05)
        assert facts["trace_id"] == trace_id and facts["threads"]
    finally:
        server.shutdown()
        viewer.close()


# The tests wait for the go of the test below, then end (and store their traces)
# one after the other around the server's restart.
TESTS = """
import pathlib
import time

import pytest

def double(x):
    return x * 2

@pytest.mark.parametrize("i", range(6))
def test_double(i):
    go = pathlib.Path(__file__).parent / "go"
    deadline = time.monotonic() + 120
    while not go.exists() and time.monotonic() < deadline:
        time.sleep(0.02)
    time.sleep(0.05 * i)
    assert double(i) == 2 * i
"""

# Each pytest process (a session's controller and its xdist workers) marks that it
# started, after vask's pytest_configure: that reads the database, and a session
# that cannot is refused (a usage error) before it runs a test.
CONFTEST = """
import os
import pathlib

def pytest_sessionstart(session):
    started = pathlib.Path(__file__).parent / "started"
    started.mkdir(exist_ok=True)
    (started / str(os.getpid())).touch()
"""

API_WRITER = """
import sys, vask

def step(i):
    return i + 1

for n in range(int(sys.argv[1])):
    with vask.enabled(db_path=sys.argv[2], trace_name=f"api {n}"):
        step(n)
"""


class TestManyWriters:
    def test_a_restart_keeps_every_commit_the_server_acknowledged(self, pg_cluster, url):
        # The test below counts what the writers were told is stored: a server
        # that loses acknowledged commits when restarted would look like vask's loss.
        conn = schema.connect(url)
        conn.execute("CREATE TABLE acknowledged (writer int, n int)")
        conn.close()
        acked: list[list[int]] = [[] for _ in range(4)]

        def write(writer):
            conn = schema.connect(url)
            try:
                for n in itertools.count():
                    with schema.transaction(conn):
                        conn.execute("INSERT INTO acknowledged VALUES (?, ?)", (writer, n))
                    acked[writer].append(n)
            except backend.ServerError:
                pass  # the server went away
            finally:
                conn.close()

        threads = [threading.Thread(target=write, args=(i,)) for i in range(len(acked))]
        for thread in threads:
            thread.start()
        deadline = time.monotonic() + 60
        while min(map(len, acked)) < 50 and time.monotonic() < deadline:
            time.sleep(0.01)
        pg_cluster.restart()  # while they commit
        for thread in threads:
            thread.join(60)
        conn = schema.connect(url)
        stored = set(conn.execute("SELECT writer, n FROM acknowledged").fetchall())
        conn.close()
        lost = [(i, n) for i, ns in enumerate(acked) for n in ns if (i, n) not in stored]
        assert min(map(len, acked)) >= 50 and lost == []

    def test_sixteen_writers_and_a_server_restart_lose_nothing(self, pg_cluster, url, project):
        (project / "test_many.py").write_text(TESTS)
        (project / "conftest.py").write_text(CONFTEST)
        (project / "api_writer.py").write_text(API_WRITER)
        # 16 writers: 6 vask run, 6 API programs, 2 pytest sessions of 2 xdist workers
        runs, api_runs, api_traces, pytest_runs = 6, 6, 5, 2
        env = {"PYTHONPATH": str(project), "VASK_DB": url}
        procs = []
        for _ in range(pytest_runs):
            procs.append(
                _start(
                    [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--vask",
                     "-n", "2", "test_many.py"],  # fmt: skip
                    project,
                    env,
                )
            )
        # The server restarts only once every pytest process has started (see CONFTEST).
        _wait_for(lambda: len(list((project / "started").glob("*"))) == pytest_runs * 3, procs)
        for i in range(runs):
            procs.append(_start([*VASK, "run", "prog.py", str(i)], project, env))
        for _ in range(api_runs):
            api = [sys.executable, "api_writer.py", str(api_traces), url]
            procs.append(_start(api, project, env))
        time.sleep(1.0)
        (project / "go").touch()
        assert any(proc.poll() is None for proc in procs)
        pg_cluster.restart(pause=0.5)  # while they write
        for proc in procs:
            out, err = proc.communicate(timeout=240)
            assert proc.returncode == 0, f"{proc.args}:\n{out}\n{err}"
        side_files = sorted((project / ".vask" / "unsaved").glob("*.msgpack*"))
        if side_files:
            run([*VASK, "traces", "import", *map(str, side_files), "--db", url], project)
        summaries = db.list_traces(url)
        names = [s.trace_name for s in summaries]
        assert sum(1 for n in names if n and n.startswith("api ")) == api_runs * api_traces
        assert sum(1 for n in names if n and "test_double" in n) == pytest_runs * 6
        assert sum(1 for n in names if n and n.startswith("prog.py")) == runs
        for s in summaries:  # every one whole
            assert stored_documents(url, s.trace_id), s
        assert maintain.find_damage(url) == {}


def _wait_for(condition, procs, timeout=120):
    """Wait until ``condition()``, while every one of ``procs`` runs."""
    deadline = time.monotonic() + timeout
    while not condition():
        for proc in procs:
            if proc.poll() is not None:
                out, err = proc.communicate()
                raise AssertionError(f"{proc.args} ended ({proc.returncode}):\n{out}\n{err}")
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def _start(argv, cwd, env):
    return subprocess.Popen(
        argv, cwd=cwd, env={**os.environ, **env}, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True,
    )  # fmt: skip

