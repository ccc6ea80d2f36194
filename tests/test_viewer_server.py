"""The viewer's server, without a browser: what it serves, what it refuses, where it listens."""

from __future__ import annotations

import http.client
import json
import socket
import threading
import time
from collections.abc import Iterator
from importlib import resources
from pathlib import Path

import pytest
from tracedocs import document, frame, plugin

from vask import db
from vask.storage import writer
from vask.viewer.server import Viewer, make_server

GOOD = "trc_01GOODGOODGOODGOODGOODGOOD"
BAD = "trc_01BADBADBADBADBADBADBADBAD"
TRACE_POINT = "trc_01POINTPOINTPOINTPOINTPOI"


@pytest.fixture(scope="module")
def server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[str, int]]:
    path = tmp_path_factory.mktemp("viewer") / "db.sqlite3"
    # stored without the index, which the page asks for (a trace point is stored by the
    # writer, which would index it in its spare time)
    spare_time, writer.INDEX_IN_SPARE_TIME = writer.INDEX_IN_SPARE_TIME, False
    records = [
        frame("call", 1, 100.0, "main", locals={"argv": ["x"]}),
        plugin("start_test", 100.05, test_name="test_a"),
        frame("call", 2, 100.1, "check", locals={"order": "A-1"}),
        frame("return", 2, 100.2, "check", arg="ok"),
        frame("return", 1, 100.3, "main", arg=0),
    ]
    db.save_trace(
        GOOD, msgpack_data=document(GOOD, {"native_1": records}, name="good"), db_path=path
    )
    # a trace point of "check": a small trace of that call, linked to its trace
    point = document(
        TRACE_POINT,
        {"native_1": records[2:4]},
        name="check",
        root=GOOD,
        trace_point={
            "co_name": "check",
            "thread": "native_1",
            "frame_id": "frm_00000000000000000000000002",
        },
    )
    db.save_trace(TRACE_POINT, msgpack_data=point, db_path=path)
    damaged = document(BAD, {"native_1": records}, name="bad")
    db.save_trace(BAD, msgpack_data=damaged, db_path=path)
    writer.drain()
    writer.INDEX_IN_SPARE_TIME = spare_time
    conn = db.connect(path)  # overwrite the stored document with a cut copy, as a disk fault would
    conn.execute("UPDATE traces SET data = ? WHERE trace_id = ?", (damaged[:-20], BAD))
    conn.close()
    viewer = Viewer(path)
    httpd = make_server(viewer, 0)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield httpd.server_address
    httpd.shutdown()
    httpd.server_close()
    viewer.close()


def get(server: tuple[str, int], path: str, host: str | None = None) -> tuple[int, bytes, str]:
    conn = http.client.HTTPConnection(*server, timeout=30)
    headers = {"Host": host} if host else {}
    conn.request("GET", path, headers=headers)
    response = conn.getresponse()
    body = response.read()
    conn.close()
    return response.status, body, response.getheader("Content-Type", "")


def get_json(server: tuple[str, int], path: str) -> tuple[int, dict]:
    status, body, kind = get(server, path)
    assert kind.startswith("application/json"), (path, status, body[:200])
    return status, json.loads(body)


def ready(server: tuple[str, int], trace_id: str) -> dict:
    for _ in range(200):
        status, body = get_json(server, f"/api/trace/{trace_id}")
        if status == 200:
            return body
        assert status == 202 and body["indexing"]
        time.sleep(0.05)
    raise AssertionError("the trace was never indexed")


def test_serves_the_page_and_its_files(server: tuple[str, int]) -> None:
    status, body, kind = get(server, "/")
    assert status == 200 and kind.startswith("text/html") and b"/static/viewer.js" in body
    for name in ("viewer.js", "viewer.css", "favicon.svg"):
        assert get(server, f"/static/{name}")[0] == 200


@pytest.mark.parametrize(
    "path",
    [
        "/static/../server.py",
        "/static/%2e%2e/server.py",
        "/static/..%2fserver.py",
        "/static/%2e%2e%2f%2e%2e%2fdb.py",
        "/static//etc/passwd",
        "/static/viewer.js/..",
        "/../../etc/passwd",
        "/api/trace/../../etc/passwd",
        "/api/trace/" + "x" * 300,
        "/api/trace/trc_01NOSUCHTRACE000000000000000",
        f"/api/trace/{GOOD}/nothing",
        "/api/nothing",
    ],
)
def test_refuses_paths_outside_its_files_and_unknown_traces(
    server: tuple[str, int], path: str
) -> None:
    status, body, kind = get(server, path)
    assert status == 404, (path, status, body[:200])
    assert kind.startswith("application/json")
    text = body.decode()
    assert "Traceback" not in text and "root:" not in text


def test_answers_only_requests_addressed_to_it(server: tuple[str, int]) -> None:
    # a page of another site whose name resolves to 127.0.0.1 (DNS rebinding)
    status, body, _ = get(server, "/api/traces", host="evil.example:80")
    assert status == 403 and b"argv" not in body
    assert get(server, "/api/traces", host=f"localhost:{server[1]}")[0] == 200


def test_listens_on_loopback_only(server: tuple[str, int]) -> None:
    assert server[0] == "127.0.0.1"
    addresses = set()
    try:
        for info in socket.getaddrinfo(socket.gethostname(), None, socket.AF_INET):
            addresses.add(info[4][0])
    except OSError:
        pass
    for address in addresses - {"127.0.0.1"}:
        if address.startswith("127."):
            continue  # another loopback address: not reachable from outside either
        with pytest.raises(OSError):
            socket.create_connection((address, server[1]), timeout=2).close()


def test_a_damaged_document_breaks_nothing_else(server: tuple[str, int]) -> None:
    status, listing = get_json(server, "/api/traces")
    assert status == 200
    by_id = {t["id"]: t for t in listing["traces"]}
    assert by_id[BAD]["damaged"] and not by_id[GOOD]["damaged"]
    assert by_id[GOOD]["name"] == "good"
    bad = ready(server, BAD)
    assert bad["damaged"] and bad["threads"] == []
    good = ready(server, GOOD)
    assert good["calls"] == 2 and not good["damaged"]
    status, page = get_json(server, f"/api/trace/{GOOD}/children?thread=native_1&node=0")
    assert status == 200 and [i["label"] for i in page["items"]] == ["main"]


def test_api_answers_tree_details_timeline_and_search(server: tuple[str, int]) -> None:
    ready(server, GOOD)
    base = f"/api/trace/{GOOD}"
    _, top = get_json(server, f"{base}/children?thread=native_1&node=0")
    main = top["items"][0]["node"]
    _, below = get_json(server, f"{base}/children?thread=native_1&node={main}")
    assert [i["kind"] for i in below["items"]] == ["plugin", "call"]
    check = below["items"][1]
    assert check["label"] == "check" and check["args"] == "order='A-1'" and check["value"] == "'ok'"
    _, d = get_json(server, f"{base}/node?thread=native_1&node={check['node']}")
    assert d["returned"] == "ok" and d["locals_call"] == {"t": "dict", "v": [["order", "A-1"]]}
    assert d["plugins"][0]["type"] == "start_test"
    assert d["trace_points"] == [
        {"trace": TRACE_POINT, "name": "check", "frame_id": "frm_00000000000000000000000002"}
    ]
    _, bars = get_json(server, f"{base}/timeline?thread=native_1&from=0&to=0.3&width=300")
    assert {b[0] for b in bars["bars"]} == {main, check["node"]}
    _, found = get_json(server, f"{base}/search?q=A-1&mode=value")
    assert found["match"]["node"] == check["node"]
    _, found = get_json(server, f"{base}/search?q=chec&mode=name")
    assert found["match"]["node"] == check["node"]
    for bad in (
        f"{base}/children?thread=nope&node=0",
        f"{base}/children?thread=native_1&node=999",
        f"{base}/children?thread=native_1&node=x",
        f"{base}/timeline?thread=native_1&from=1&to=0",
        f"{base}/timeline?thread=native_1&from=nan&to=1",
        f"{base}/search?q=",
    ):
        status, body = get_json(server, bad)
        assert status == 400 and body["error"], bad


def test_the_installed_package_ships_the_page_with_nothing_from_the_network() -> None:
    static = resources.files("vask.viewer") / "static"
    names = {p.name for p in static.iterdir()}
    assert {"index.html", "viewer.js", "calls.js", "viewer.css", "favicon.svg"} <= names
    for name in ("index.html", "viewer.js", "calls.js", "viewer.css"):
        text = (static / name).read_text(encoding="utf-8")
        assert "http://" not in text and "https://" not in text and "@import" not in text, name
    assert Path(str(static)).resolve().is_relative_to(Path(db.__file__).resolve().parent)


def post(server: tuple[str, int], path: str, headers: dict[str, str]) -> tuple[int, dict]:
    conn = http.client.HTTPConnection(*server, timeout=30)
    conn.request("POST", path, body=b"", headers=headers)
    response = conn.getresponse()
    body = json.loads(response.read())
    conn.close()
    return response.status, body


def test_the_page_asks_for_the_calls_index_and_only_the_page_may(
    server: tuple[str, int],
) -> None:
    status, answer = get_json(server, "/api/calls?q=check")
    assert status == 200 and answer["indexing"] is None
    assert answer["not_indexed"] >= 2 and answer["matches"] == []
    # what another site can send: a form (no header of ours), a script of its origin, and
    # the page's request addressed to another host; none starts a build
    page = {"X-Vask": "1"}
    for headers in (
        {},
        {**page, "Origin": "http://evil.example"},
        {**page, "Host": "evil.example:80"},
    ):
        assert post(server, "/api/calls/index", headers)[0] == 403
    assert post(server, "/api/calls/nope", page)[0] == 404
    assert get_json(server, "/api/calls?q=check")[1]["indexing"] is None

    status, started = post(
        server, "/api/calls/index", {**page, "Origin": f"http://127.0.0.1:{server[1]}"}
    )
    assert status == 200 and started["error"] is None
    for _ in range(400):
        answer = get_json(server, "/api/calls?q=check")[1]
        if not answer["indexing"]["running"]:
            break
        time.sleep(0.05)
    indexing = answer["indexing"]
    assert indexing["error"] is None and indexing["done"] == indexing["total"] >= 2
    # the call and its trace point's; the damaged trace stays out, and is not asked again
    assert {m["trace"] for m in answer["matches"]} == {GOOD, TRACE_POINT}
    assert all(m["label"].startswith("check(") for m in answer["matches"])
    assert answer["not_indexed"] == 0
