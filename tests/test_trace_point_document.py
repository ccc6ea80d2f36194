"""The trace-point document from the native writer, against the Python writer it replaced.

``reference_document`` is that Python writer as it stood, kept here to pin
what a trace-point document holds: both are given the same records and must
decode to the same keys, in the same order, with the same values.
"""

from __future__ import annotations

import platform
import sys
import threading
from typing import Any

import msgpack
import pytest
from vask import git
from vask.engines.monitor import _TracePoint, trace_point_document
from vask.version import __version__

# -- the Python writer, as it was --------------------------------------------------

_INT_RANGE = (-(1 << 63), 1 << 63)
_pack = msgpack.Packer(use_bin_type=True).pack


def _environment() -> dict[str, str]:
    return {
        "py_version": platform.python_version(),
        "py_version_full": sys.version,
        "platform": platform.platform(),
        "system": platform.system(),
        "machine": platform.machine(),
        "processor": platform.processor(),
    }


def _stored_config(config: dict[str, Any]) -> dict[str, Any]:
    out = {}
    for key, value in config.items():
        if isinstance(value, int) and not isinstance(value, bool):
            out[key] = value if _INT_RANGE[0] <= value < _INT_RANGE[1] else float(value)
        elif value is None or isinstance(value, (str, bool, float)):
            out[key] = value
    out["use_monitoring"] = True
    out["use_rust"] = True
    return out


def _command_line(config: dict[str, Any], argv: list[str]) -> list[str]:
    from vask import serialize

    try:
        names = serialize.redaction_from_config(
            config.get("redact", True), config.get("redact_extra")
        )
    except (TypeError, ValueError):
        names = list(serialize.DEFAULT_REDACT_NAMES)
    return serialize.redact_command_line(argv, names)


def _call_facts(record: bytes) -> tuple[str | None, float | None]:
    unpacker = msgpack.Unpacker(None, raw=False, strict_map_key=False, unicode_errors="replace")
    unpacker.feed(record)
    frame_id = started = None
    try:
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "frame_id" or key == "timestamp":
                value = unpacker.unpack()
                if key == "frame_id" and isinstance(value, str):
                    frame_id = value
                elif key == "timestamp" and isinstance(value, float):
                    started = value
            else:
                unpacker.skip()
    except Exception:  # noqa: BLE001
        return frame_id, started
    return frame_id, started


def _natural(value: Any) -> int | None:
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else None


def _array_header(n: int) -> bytes:
    if n < 16:
        return bytes((0x90 | n,))
    if n < 1 << 16:
        return b"\xdc" + n.to_bytes(2, "big")
    return b"\xdd" + n.to_bytes(4, "big")


def reference_document(point: _TracePoint, trace_id: str) -> bytes:
    frame_id, started = _call_facts(point.records[0]) if point.records else (None, None)
    thread = point.thread
    name = getattr(thread, "name", None)
    config = _stored_config(point.config)
    argv = [str(arg) for arg in sys.argv]
    trace_point = {"co_name": point.co_name, "thread": point.thread_id, "frame_id": frame_id}
    parts = [
        b"\x8b",
        *map(_pack, ("trace_id", trace_id, "trace_name", point.co_name)),
        *map(_pack, ("current_thread_id", point.thread_id, "timestamp")),
        _pack(started if started is not None else point.handed_at),
        *map(_pack, ("current_commit_sha", git.COMMIT_SHA, "root_trace_id", point.trace_id)),
        _pack("meta"),
        b"\x85",
        *map(_pack, ("version", __version__, "source", point.source)),
        *map(_pack, ("trace_point", trace_point, "environment", _environment())),
        *map(_pack, ("config", config)),
        *map(_pack, ("command_line_args", _command_line(config, argv))),
        _pack("threads"),
        b"\x81",
        _pack(point.thread_id),
        b"\x86",
        _pack("name"),
        _pack(name if isinstance(name, str) else point.thread_id),
        *map(_pack, ("ident", _natural(getattr(thread, "ident", None)))),
        *map(_pack, ("native_id", _natural(getattr(thread, "native_id", None)))),
        *map(_pack, ("daemon", bool(getattr(thread, "daemon", False)))),
        *map(_pack, ("is_alive", bool(thread.is_alive()), "frames")),
        _array_header(len(point.records)),
        *point.records,
        *map(_pack, ("frames_of_interest", [], "frames", {})),
    ]
    return b"".join(parts)


# -- the comparison -------------------------------------------------------------------


def _frame(frame_id: Any, timestamp: Any, **more: Any) -> bytes:
    record = {"type": "frame", "frame_id": frame_id, "event": "call", "timestamp": timestamp}
    record.update(more)
    return _pack(record)


def _decode(document: bytes) -> dict[str, Any]:
    return msgpack.unpackb(document, raw=False, strict_map_key=False)


def _point(records: list[bytes], config: dict[str, Any], thread=None) -> _TracePoint:
    thread = thread or threading.current_thread()
    return _TracePoint(
        thread,
        f"native_{thread.native_id}",
        records,
        "target",
        "/tmp/never-opened.db",
        "tests",
        "trc_01HQZZZZZZZZZZZZZZZZZZZZZZ",
        config,
        60,
        1234.5,
    )


CONFIG = {
    "lightweight_repr": False,
    "sqlite_busy_timeout": 60,
    "use_monitoring": True,
    "use_rust": True,
}


@pytest.mark.parametrize(
    ("records", "config"),
    [
        # A call with nested records: the call record's id and time lead.
        (
            [
                _frame("frm_1", 17.25, locals={"x": 1}),
                _pack({"type": "line"}),
                _frame("frm_1", 18.0),
            ],
            CONFIG,
        ),
        # No records: the time the point was handed over, no frame id.
        ([], CONFIG),
        # A call record without an id or time, or with values of other types.
        ([_pack({"type": "frame", "event": "call"})], CONFIG),
        ([_frame(7, "noon")], CONFIG),
        # A 32-bit float time, and a record that is not a map at all.
        ([b"\x82\xa8frame_id\xa5frm_2\xa9timestamp\xca\x3f\xc0\x00\x00"], CONFIG),
        ([_pack([1, 2])], CONFIG),
        # Sixteen records and more take the longer array header.
        ([_frame(f"frm_{i}", float(i)) for i in range(17)], CONFIG),
        # An int beyond 64 bits is stored as a float; the engine's own two
        # entries anywhere in the configuration given.
        (
            [_frame("frm_3", 1.0)],
            {"use_monitoring": True, "huge": 1 << 70, "x": None, "use_rust": True, "redact": True},
        ),
    ],
)
def test_native_and_python_writers_agree(records, config, monkeypatch):
    monkeypatch.setattr(sys, "argv", ["prog", "--token", "s3cret", "--password=hunter2", "plain"])
    point = _point(records, config)
    native = trace_point_document(point, "trc_01HQYYYYYYYYYYYYYYYYYYYYYY")
    python = reference_document(point, "trc_01HQYYYYYYYYYYYYYYYYYYYYYY")
    got, want = _decode(native), _decode(python)

    assert list(got) == list(want)
    assert list(got["meta"]) == list(want["meta"])
    # The stored configuration is the main trace's: the engine's own two
    # entries come last whatever their place in the configuration given.
    assert got["meta"].pop("config") == want["meta"].pop("config")
    assert list(_decode(native)["meta"]["config"])[-2:] == ["use_monitoring", "use_rust"]
    assert got == want
    thread = next(iter(got["threads"].values()))
    assert list(thread) == ["name", "ident", "native_id", "daemon", "is_alive", "frames"]
    # The records are spliced in as they came, byte for byte.
    assert b"".join(records) in native


def test_the_command_line_is_redacted_with_the_whole_configuration(monkeypatch, capsys):
    # The Python writer judged the command line by the stored configuration,
    # which has no list values: a name under redact_extra was shown.
    monkeypatch.setattr(sys, "argv", ["prog", "--badge", "s3cret", "--password=hunter2"])
    config = dict(CONFIG, redact_extra=["badge"])
    point = _point([_frame("frm_1", 1.0)], config)
    got = _decode(trace_point_document(point, "trc_x"))
    want = _decode(reference_document(point, "trc_x"))
    assert "s3cret" in want["command_line_args"]
    assert "s3cret" not in got["command_line_args"]
    assert "hunter2" not in " ".join(got["command_line_args"])
    assert "redact_extra" not in got["meta"]["config"]
    got.pop("command_line_args")
    want.pop("command_line_args")
    assert got == want
    # Every trace point would say it again: the main trace says it once.
    assert "unsupported config type" not in capsys.readouterr().out


def test_thread_facts_of_another_thread():
    done = threading.Event()
    worker = threading.Thread(target=done.wait, name="worker-7", daemon=True)
    worker.start()
    try:
        point = _point([_frame("frm_9", 2.0)], CONFIG, thread=worker)
        got = _decode(trace_point_document(point, "trc_x"))
        assert got == _decode(reference_document(point, "trc_x"))
        entry = got["threads"][point.thread_id]
        assert (entry["name"], entry["daemon"], entry["is_alive"]) == ("worker-7", True, True)
    finally:
        done.set()
        worker.join()


def test_arguments_of_the_wrong_type_are_refused():
    from vask import _dump

    point = _point([_frame("frm_1", 1.0)], CONFIG)
    good = [
        "trc_x",
        point.trace_id,
        point.thread_id,
        point.thread,
        point.co_name,
        point.records,
        point.source,
        point.config,
        point.handed_at,
    ]
    assert _dump.trace_point_document(*good)
    for index, bad in [(0, None), (4, b"target"), (5, ("tuple",)), (5, ["not bytes"]), (7, [])]:
        wrong = list(good)
        wrong[index] = bad
        with pytest.raises(TypeError):
            _dump.trace_point_document(*wrong)
