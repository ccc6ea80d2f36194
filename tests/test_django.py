"""Django requests as traces: VaskMiddleware and the built-in request plugin.

A small project (tests/django_project) is driven through Django's test client
in a subprocess; the settings read the vask settings from its environment.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import msgpack
import pytest
from vask import db
from vask.values import ObjectRepr, ext_hook

pytest.importorskip("django")

PROJECT = Path(__file__).resolve().parent / "django_project"

DRIVER = """
import json
import os
import sys

sys.path.insert(0, os.environ["VASK_TEST_PROJECT"])
os.environ["DJANGO_SETTINGS_MODULE"] = "settings"

import django

django.setup()

from django.test import Client

import vask


def send(requests):
    client = Client(raise_request_exception=False)
    statuses = []
    for method, path in requests:
        if method == "POST":
            response = client.post(
                path, data='{"item": "cake", "quantity": 1}',
                content_type="application/json", HTTP_X_API_KEY="k-123",
            )
        else:
            response = client.get(path)
        statuses.append(response.status_code)
    return statuses


requests = json.loads(sys.argv[1])
if os.environ.get("VASK_TEST_CONCURRENT"):
    import threading

    results = {}
    workers = [
        threading.Thread(target=lambda r=r: results.update({r[1]: send([r])[0]})) for r in requests
    ]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    statuses = [results[path] for _, path in requests]
elif os.environ.get("VASK_TEST_WHOLE_PROCESS"):
    with vask.enabled(db_path=os.environ["VASK_TEST_WHOLE_PROCESS"]):
        statuses = send(requests)
else:
    statuses = send(requests)
print(json.dumps(statuses))
"""

REQUESTS = [
    ("GET", "/orders/"),
    ("POST", "/orders/"),
    ("GET", "/orders/99/"),
    ("GET", "/nowhere/"),
    ("GET", "/boom/"),
]


def drive(tmp_path: Path, requests, **env_vars: str) -> tuple[list[int], str]:
    script = tmp_path / "drive.py"
    script.write_text(DRIVER)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("VASK_", "DJANGO_"))}
    env.pop("PYTHONPATH", None)
    env.update({"VASK_TEST_PROJECT": str(PROJECT), **env_vars})
    result = subprocess.run(
        [sys.executable, str(script), json.dumps(requests)],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return json.loads(result.stdout.splitlines()[-1]), result.stderr


def traces(db_path: Path) -> list[tuple[str | None, list[dict]]]:
    """(name, records of the trace's single thread), oldest first."""
    out = []
    for summary in reversed(db.list_traces(db_path)):
        (document,) = db.load_trace(db_path, summary.trace_id)
        doc = msgpack.unpackb(document, raw=False, strict_map_key=False, ext_hook=ext_hook)
        records = [r for thread in doc["threads"].values() for r in thread["frames"]]
        out.append((doc["trace_name"], records))
    return out


def frames(records: list[dict], co_name: str) -> list[dict]:
    return [r for r in records if r["type"] == "frame" and r["co_name"] == co_name]


class TestMiddleware:
    def test_each_request_is_one_named_trace_with_the_view_in_it(self, engine, tmp_path):
        db_path = tmp_path / "traces.db"
        statuses, _ = drive(
            tmp_path, REQUESTS, VASK_TEST_DB=str(db_path), VASK_TEST_ENGINE=engine.name
        )
        assert statuses == [200, 201, 404, 404, 500]
        stored = traces(db_path)
        assert [name for name, _ in stored] == [
            "GET /orders/ 200",
            "POST /orders/ 201",
            "GET /orders/99/ 404",
            "GET /nowhere/ 404",
            "GET /boom/ 500",
        ]
        for name, records in stored:
            request, response = records[0], records[-1]
            assert request["type"] == "django_request", name
            assert response["type"] == "django_response", name
            assert (request["method"], request["path_info"]) == tuple(name.split()[:2])
        views = [("orders", "return"), ("orders", "return"), ("order_detail", None), None]
        views.append(("boom", None))  # these two views raise
        for (name, records), view in zip(stored, views):
            if view is not None:
                co_name, exit_event = view
                events = [r["event"] for r in frames(records, co_name)]
                assert events == ["call", exit_event or engine.exception_exit], name
        get_orders = stored[0][1]
        assert [r["event"] for r in frames(get_orders, "total_quantity")] == ["call", "return"]
        # the API key header the view read is a secret
        (post_return,) = [r for r in frames(stored[1][1], "orders") if r["event"] == "return"]
        assert post_return["locals"]["api_key"] == ObjectRepr("<redacted>")
        assert post_return["locals"]["order"] == {"item": "cake", "quantity": 1}

    def test_request_records_in_the_lightweight_form_still_name_the_traces(self, engine, tmp_path):
        db_path = tmp_path / "traces.db"
        statuses, _ = drive(
            tmp_path,
            [["GET", "/orders/"], ["POST", "/orders/"]],
            VASK_TEST_DB=str(db_path),
            VASK_TEST_ENGINE=engine.name,
            VASK_TEST_CONFIG=json.dumps({"lightweight_repr": True}),
        )
        assert statuses == [200, 201]
        stored = traces(db_path)
        assert [name for name, _ in stored] == ["GET /orders/ 200", "POST /orders/ 201"]
        request, response = stored[1][1][0], stored[1][1][-1]
        assert (request["method"], request["path_info"]) == ("POST", "/orders/")
        assert response["status_code"] == 201
        # the view's values are short reprs, its secret still redacted
        (post_return,) = [r for r in frames(stored[1][1], "orders") if r["event"] == "return"]
        assert post_return["locals"]["api_key"] == ObjectRepr("<redacted>")
        assert post_return["locals"]["order"] == ObjectRepr("{'item': 'cake', 'quantity': 1}")

    def test_disabled_by_setting(self, tmp_path):
        db_path = tmp_path / "traces.db"
        statuses, _ = drive(
            tmp_path, REQUESTS[:1], VASK_TEST_DB=str(db_path), VASK_TEST_ENABLED="0"
        )
        assert statuses == [200]
        assert not db_path.exists()

    def test_a_failed_store_is_kept_aside_and_the_response_stands(self, tmp_path):
        (tmp_path / "file").write_text("")
        statuses, stderr = drive(
            tmp_path, REQUESTS[:2], VASK_TEST_DB=str(tmp_path / "file" / "traces.db")
        )
        assert statuses == [200, 201]
        kept = sorted((tmp_path / ".vask" / "unsaved").iterdir())
        assert len(kept) == 2
        for side in kept:
            assert f"it is kept in {side}" in stderr
        names = {msgpack.unpackb(db.read_side_file(p))["trace_name"] for p in kept}
        assert names == {"GET /orders/ 200", "POST /orders/ 201"}

    def test_bad_config_stops_start_up(self, tmp_path):
        script = tmp_path / "drive.py"
        script.write_text(DRIVER)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("VASK_", "DJANGO_"))}
        env.update(
            VASK_TEST_PROJECT=str(PROJECT),
            VASK_TEST_DB=str(tmp_path / "t.db"),
            VASK_TEST_CONFIG=json.dumps({"redact": 3}),
        )
        result = subprocess.run(
            [sys.executable, str(script), json.dumps(REQUESTS[:1])],
            cwd=tmp_path,
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
            check=False,
        )
        assert result.returncode != 0
        assert "ImproperlyConfigured: VASK_CONFIG: config 'redact'" in result.stderr

    def test_overlapping_requests_stay_apart(self, engine, tmp_path):
        db_path = tmp_path / "traces.db"
        # Made beforehand: two first stores at once can meet a locked database
        # while it is switched to WAL mode.
        db.connect(db_path).close()
        requests = [("GET", "/meet/ann/"), ("GET", "/meet/bob/")]
        statuses, stderr = drive(
            tmp_path,
            requests,
            VASK_TEST_DB=str(db_path),
            VASK_TEST_ENGINE=engine.name,
            VASK_TEST_CONCURRENT="1",
        )
        assert statuses == [200, 200], stderr
        stored = traces(db_path)
        assert sorted(name for name, _ in stored) == ["GET /meet/ann/ 200", "GET /meet/bob/ 200"]
        for name, records in stored:
            (call, _) = frames(records, "meet")
            assert call["locals"]["who"] in name


class TestWholeProcess:
    def test_request_plugin_names_a_process_trace_and_the_middleware_steps_aside(self, tmp_path):
        # The process is traced as a whole; the middleware must not start a
        # profiler of its own, which would end the outer one.
        whole = tmp_path / "whole.db"
        per_request = tmp_path / "per-request.db"
        statuses, _ = drive(
            tmp_path,
            REQUESTS[:1],
            VASK_TEST_DB=str(per_request),
            VASK_TEST_WHOLE_PROCESS=str(whole),
        )
        assert statuses == [200]
        assert not per_request.exists()
        ((name, records),) = traces(whole)
        assert name == "GET /orders/ 200"
        types = [r["type"] for r in records]
        assert types.count("django_request") == types.count("django_response") == 1
        assert frames(records, "orders")
