"""Stored values read back: what they were, in the text view and in the Chrome export."""

from __future__ import annotations

import msgpack
import pytest
import vask
from vask import calltree, document, export, render
from vask.serialize import dump_msgpack, dump_msgpack_lightweight_repr
from vask.values import Assignment, ObjectRepr, StoredSet, unpack_value


@pytest.fixture(autouse=True)
def _every_repr_called():
    """These cases store reprs as objects write them: the "repr" setting."""
    from vask import serialize

    serialize.configure_values("repr", (), 0)
    yield
    serialize.configure_values()


class Order:
    def __repr__(self):
        return "Order(sku='A1',\nqty=2)"


def frame(event: str, n: int, ts: float, **values) -> dict:
    return {
        "path": f"app.py:{n}",
        "co_name": "handle",
        "qualname": "app.handle",
        "event": event,
        "frame_id": f"frm_{n:026d}",
        "arg": None,
        "locals": {},
        "timestamp": ts,
        "type": "frame",
        "user_code_call_site": None,
        **values,
    }


def stored(version: str, records: list[dict], config: dict | None = None) -> bytes:
    """A trace document as vask ``version`` stored it; values given as raw MessagePack."""
    doc = {
        "trace_id": "trc_01AAAAAAAAAAAAAAAAAAAAAAAA",
        "trace_name": None,
        "current_thread_id": "native_1",
        "timestamp": 100.0,
        "current_commit_sha": None,
        "root_trace_id": "trc_01AAAAAAAAAAAAAAAAAAAAAAAA",
        "meta": {"version": version, "source": "api", "environment": {}, "config": config or {}},
        "command_line_args": ["app.py"],
        "threads": {
            "native_1": {
                "name": "MainThread",
                "ident": 1,
                "native_id": 1,
                "daemon": False,
                "is_alive": True,
                "frames": records,
            }
        },
        "frames_of_interest": [],
        "frames": {},
    }
    return msgpack.packb(doc)


def value_of(data: bytes):
    """A dumper's bytes as the record value they stand for (an ExtType stays packed as is)."""
    return msgpack.unpackb(data, raw=False, strict_map_key=False, ext_hook=msgpack.ExtType)


def call_line(data: bytes) -> str:
    trace = document.merge_documents("trc", [data])
    root = calltree.build_call_tree(trace.threads["native_1"].records)
    return next(render.render_tree(root, style=render.Style()))


class TestFormatValue:
    @pytest.mark.parametrize(
        "value, shown",
        [
            ("Foo(1)", "'Foo(1)'"),
            ("<tag>", "'<tag>'"),
            (ObjectRepr("Foo(1)"), "Foo(1)"),
            (ObjectRepr("a\nb"), "a\\nb"),
            ((1, "a"), "(1, 'a')"),
            ((1,), "(1,)"),
            ((), "()"),
            (StoredSet((1, 2)), "{1, 2}"),
            (StoredSet(()), "set()"),
            (StoredSet((1,), frozen=True), "frozenset({1})"),
            (StoredSet((), frozen=True), "frozenset()"),
            ({"k": (ObjectRepr("<3 more items>"),)}, "{'k': (<3 more items>,)}"),
            ([b"x", None, 1.5], "[b'x', None, 1.5]"),
        ],
    )
    def test_what_each_value_shows(self, value, shown):
        assert render.format_value(value) == shown

    def test_dumped_values_read_back_apart(self):
        dumped = unpack_value(dump_msgpack({"s": "Order()", "o": Order(), "t": ("a",), "f": {2}}))
        assert render.format_value(dumped) == (
            "{'s': 'Order()', 'o': Order(sku='A1',\\nqty=2), 't': ('a',), 'f': {2}}"
        )

    @pytest.mark.parametrize("code", [2, 3, 4])
    def test_a_damaged_container_payload_spoils_only_that_value(self, code):
        # One array followed by a stray byte, and bytes that are no MessagePack at all.
        for payload in (msgpack.packb([1, 2]) + b"\x01", b"\xc1"):
            packed = msgpack.packb({"v": msgpack.ExtType(code, payload), "n": 7})
            value = unpack_value(packed)
            assert value["n"] == 7
            assert isinstance(value["v"], ObjectRepr)
            assert "unreadable" in value["v"].text

    @pytest.mark.parametrize(
        "key",
        [
            msgpack.ExtType(7, msgpack.packb(["collections.deque", 1234, {"a": [1]}])),
            msgpack.ExtType(3, msgpack.packb([[1, 2]])),
            msgpack.ExtType(6, msgpack.packb(["x", {"k": 1}])),
        ],
    )
    def test_a_stored_value_of_any_kind_can_be_a_map_key(self, key):
        # A damaged document can put anything where a key stands.
        (value,) = unpack_value(msgpack.packb({key: 1})).values()
        assert value == 1

    def test_cut_to_width(self):
        assert render.format_value((ObjectRepr("x" * 50),), width=10) == "(xxxxxxxx…"


class TestDocuments:
    def test_current_documents_keep_strings_quoted(self):
        records = [
            frame("call", 1, 100.1, locals=value_of(dump_msgpack({"s": "Foo(1)", "o": Order()}))),
            frame("return", 1, 100.2, arg=value_of(dump_msgpack(("done", 2)))),
        ]
        line = call_line(stored(vask.__version__, records))
        assert "handle(s='Foo(1)', o=Order(sku='A1',\\nqty=2))  → ('done', 2)" in line

    def test_documents_before_marked_values_still_show_their_reprs(self):
        # Before 0.2 reprs were plain strings: those that look like one are taken for one.
        records = [
            frame("call", 1, 100.1, locals={"o": "Order(sku='A1')", "s": "text", "t": [1, 2]}),
            frame("return", 1, 100.2, arg="<Order object at 0x1>"),
        ]
        line = call_line(stored("0.1.0", records))
        assert "handle(o=Order(sku='A1'), s='text', t=[1, 2])  → <Order object at 0x1>" in line
        doc = document.decode_document(stored("0.1.0", records))
        assert doc["threads"]["native_1"]["frames"][0]["locals"]["o"] == ObjectRepr(
            "Order(sku='A1')"
        )

    def test_lightweight_documents_before_marked_values(self):
        records = [
            frame("call", 1, 100.1, locals={"s": "'text'", "n": "1"}),
            frame("return", 1, 100.2, arg="'ok'"),
        ]
        line = call_line(stored("0.1.0", records, {"lightweight_repr": True}))
        assert "handle(s='text', n=1)  → 'ok'" in line

    def test_lightweight_documents_now(self):
        records = [
            frame("call", 1, 100.1, locals=value_of(dump_msgpack_lightweight_repr({"s": "t"}))),
            frame("return", 1, 100.2, arg=value_of(dump_msgpack_lightweight_repr(Order()))),
        ]
        line = call_line(stored(vask.__version__, records, {"lightweight_repr": True}))
        assert "handle(s='t')  → Order(sku='A1',\\nqty=2)" in line

    def test_assignments_decode_and_unknown_extension_types_are_kept(self):
        assignment = msgpack.ExtType(6, b"\x92\xa1x" + dump_msgpack((1, "a")))
        not_a_pair = msgpack.ExtType(6, b"\x91\x01")
        not_msgpack = msgpack.ExtType(6, b"\xc1")
        data = msgpack.packb([assignment, not_a_pair, not_msgpack, msgpack.ExtType(42, b"")])
        assert unpack_value(data) == [
            Assignment("x", (1, "a")),
            not_a_pair,
            not_msgpack,
            msgpack.ExtType(42, b""),
        ]
        # a negative type (MessagePack's own), which msgpack.ExtType refuses: damage at rest
        assert unpack_value(b"\xd4\x80\x00") == ObjectRepr(
            "<MessagePack extension type -128, 1 bytes>"
        )


class TestChromeExport:
    def test_values_are_rendered_apart(self):
        value = unpack_value(
            dump_msgpack({"s": "Foo(1)", "o": Order(), "n": 3, "l": [1, "a"], "t": (1,)})
        )
        assert export._jsonable(value, traced=True) == {
            "s": "'Foo(1)'",
            "o": "Order(sku='A1',\\nqty=2)",
            "n": 3,
            "l": [1, "'a'"],
            "t": "(1,)",
        }

    def test_record_fields_keep_their_texts(self):
        record = {"type": "start_test", "test_name": "test_x", "params": (1, 2)}
        assert export._jsonable(record) == {
            "type": "start_test",
            "test_name": "test_x",
            "params": "(1, 2)",
        }


def test_a_map_used_as_a_map_key_reads_as_a_marker() -> None:
    # Only damage makes a map a key; the rest of the value still reads.
    from vask.document import decode_record

    key = msgpack.packb({"a": 1})
    data = b"\x82" + key + b"\x01" + msgpack.packb("b") + msgpack.packb(2)
    value = decode_record(data)
    assert value["b"] == 2
    assert [str(k) for k in value if k != "b"] == ["<unreadable map key: dict>"]
