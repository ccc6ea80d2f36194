"""The value dumpers: one bounded MessagePack object for any value, never an exception."""

from __future__ import annotations

import collections
import contextlib
import enum
import gc
import math
import os
import signal
import sys
import threading
import time
import types

import msgpack
import pytest
from vask import serialize
from vask.serialize import (
    LIGHTWEIGHT_REPR_CHARS,
    MAX_BYTES,
    MAX_DEPTH,
    MAX_ITEMS,
    MAX_OUTPUT_UNITS,
    MAX_STRING_CHARS,
    OUTPUT_LIMIT_MARKER,
    TRUNCATED_KEY,
    dump_msgpack,
    dump_msgpack_lightweight_repr,
)
from vask.values import ObjectRepr as R
from vask.values import StoredSet, ext_hook


@pytest.fixture(autouse=True)
def _every_repr_called():
    """These cases pin the "repr" setting: every repr called, no byte cap per value."""
    serialize.configure_values("repr", (), 0)
    yield
    serialize.configure_values()

DUMPERS = [dump_msgpack, dump_msgpack_lightweight_repr]
# Worst case of one dump: the unit budget, plus a marker per cut container.
SIZE_BOUND = MAX_OUTPUT_UNITS + 64 * 1024


def decode(data: bytes):
    """The single object in ``data``; fails on trailing bytes or non-text map keys."""
    assert type(data) is bytes
    assert len(data) <= SIZE_BOUND
    unpacker = msgpack.Unpacker(
        raw=False, strict_map_key=True, max_buffer_size=SIZE_BOUND, ext_hook=ext_hook
    )
    unpacker.feed(data)
    objects = list(unpacker)
    assert len(objects) == 1, f"{len(objects)} objects in {data[:80]!r}"
    return objects[0]


def full(value):
    return decode(dump_msgpack(value))


def light(value):
    return decode(dump_msgpack_lightweight_repr(value))


def nested_lists(depth: int) -> list:
    value: list = []
    for _ in range(depth):
        value = [value]
    return value


class BadRepr:
    def __repr__(self):
        raise RuntimeError("no repr for you")


class NotAString:
    def __repr__(self):
        return 42


def a_generator():
    yield 1


def _released_view() -> memoryview:
    view = memoryview(b"abc")
    view.release()
    return view


def _cyclic_list() -> list:
    value: list = [1]
    value.append(value)
    return value


def _cyclic_dict() -> dict:
    value: dict = {"a": 1}
    value["me"] = value
    return value


HOSTILE = {
    "cyclic list": _cyclic_list,
    "cyclic dict": _cyclic_dict,
    "raising repr": BadRepr,
    "repr not a str": NotAString,
    "10 MB str": lambda: "x" * 10_000_000,
    "10 MB bytes": lambda: b"\xff" * 10_000_000,
    "10 MB bytearray": lambda: bytearray(10_000_000),
    "10 MB memoryview": lambda: memoryview(b"m" * 10_000_000),
    "10,000 nested lists": lambda: nested_lists(10_000),
    "1,000,000 item dict": lambda: {i: i for i in range(1_000_000)},
    "1,000,000 item list": lambda: list(range(1_000_000)),
    "generator": a_generator,
    "class": lambda: BadRepr,
    "module": lambda: sys,
    "frame": sys._getframe,
    "inf, -inf, nan": lambda: [math.inf, -math.inf, math.nan],
    "huge ints": lambda: [2**64, -(2**63) - 1, 10**5000, -(10**100_000)],
    "set": lambda: set(range(1000)),
    "frozenset": lambda: frozenset("abc"),
    "tuple": lambda: tuple(range(1000)),
    "released memoryview": _released_view,
    "2-d memoryview": lambda: memoryview(bytes(4000)).cast("B", (40, 100)),
    "strided memoryview": lambda: memoryview(bytes(range(200)) * 20)[::2],
    "lone surrogates": lambda: {"\ud800key": "va\udfffl", "k": ["\ud801"]},
    "wide and deep": lambda: [[["y" * MAX_STRING_CHARS] * MAX_ITEMS] * MAX_ITEMS] * MAX_ITEMS,
    "wide and deep tuples": lambda: (
        ((("y" * MAX_STRING_CHARS,) * MAX_ITEMS,) * MAX_ITEMS,) * MAX_ITEMS
    ),
}


class TestHostileValues:
    @pytest.mark.parametrize("make", HOSTILE.values(), ids=HOSTILE.keys())
    @pytest.mark.parametrize("dump", DUMPERS, ids=["full", "light"])
    def test_one_bounded_object(self, dump, make):
        decode(dump(make()))

    def test_cycles_are_cut_where_they_recur(self):
        assert full(_cyclic_list()) == [1, R("<cycle: list>")]
        assert full(_cyclic_dict()) == {"a": 1, "me": R("<cycle: dict>")}
        loop: list = []
        loop.append((loop,))
        assert full(loop) == [(R("<cycle: list>"),)]

    def test_shared_reference_is_not_a_cycle(self):
        shared = [1, 2]
        assert full([shared, shared, {"x": shared}]) == [[1, 2], [1, 2], {"x": [1, 2]}]

    def test_unrepresentable_values_become_placeholders(self):
        assert full(BadRepr()) == R("<unrepresentable BadRepr>")
        assert full({"obj": BadRepr()}) == {"obj": R("<unrepresentable BadRepr>")}
        assert light({"obj": BadRepr()}) == {"obj": R("<unrepresentable BadRepr>")}
        assert light(BadRepr()) == R("<unrepresentable BadRepr>")
        assert full([NotAString()]) == [R("<unrepresentable NotAString>")]
        assert light({"x": NotAString()}) == {"x": R("<unrepresentable NotAString>")}

    def test_long_text_and_binary_are_cut_with_a_marker(self):
        text = full("é" * 10_000_000)
        assert text == "é" * MAX_STRING_CHARS + f"...<{10_000_000 - MAX_STRING_CHARS} more chars>"
        data = full(b"\x01" * 10_000_000)
        assert data.startswith(b"\x01" * MAX_BYTES)
        assert data.endswith(f"...<{10_000_000 - MAX_BYTES} more bytes>".encode())
        assert full(bytearray(b"ab")) == b"ab"
        assert full(memoryview(b"ab")) == b"ab"
        assert full(memoryview(b"z" * 5000)).endswith(b"...<4000 more bytes>")
        assert full(memoryview(bytes(range(10)))[::2]) == bytes(range(0, 10, 2))

    def test_deep_nesting_is_cut(self):
        value = full(nested_lists(10_000))
        for _ in range(MAX_DEPTH):
            assert isinstance(value, list) and len(value) == 1
            value = value[0]
        assert value == R("<list nested too deep>")

    def test_large_containers_are_cut(self):
        assert full(list(range(1000))) == list(range(MAX_ITEMS)) + [R("<900 more items>")]
        assert full(tuple(range(1000))) == tuple(range(MAX_ITEMS)) + (R("<900 more items>"),)
        mapping = full({f"k{i}": i for i in range(1_000_000)})
        assert len(mapping) == MAX_ITEMS + 1
        assert mapping[TRUNCATED_KEY] == R(f"<{1_000_000 - MAX_ITEMS} more items>")
        assert len(full(set(range(1000))).items) == MAX_ITEMS + 1

    def test_budget_bounds_wide_and_deep_values(self):
        for value in (HOSTILE["wide and deep"](), HOSTILE["wide and deep tuples"]()):
            data = dump_msgpack(value)
            decode(data)
            assert OUTPUT_LIMIT_MARKER.encode() in data

    def test_values_without_a_natural_form_are_reprs(self):
        assert full(a_generator()).text.startswith("<generator object a_generator")
        assert full(BadRepr).text.startswith("<class ")
        assert full(sys) == R("<module 'sys' (built-in)>")
        assert full(sys._getframe()).text.startswith("<frame at ")
        assert full(_released_view()).text.startswith("<released memory")

    def test_scalars(self):
        inf, ninf, nan = full([math.inf, -math.inf, math.nan])
        assert inf == math.inf and ninf == -math.inf and math.isnan(nan)
        assert full([None, True, False, 0.5]) == [None, True, False, 0.5]
        assert full(tuple("ab")) == ("a", "b")
        assert full({3, 1, 2}) == StoredSet((1, 2, 3))
        assert full(frozenset({1})) == StoredSet((1,), frozen=True)

    def test_int_range(self):
        edges = [2**64 - 1, -(2**63)]
        assert full(edges) == edges
        assert full([2**64, -(2**63) - 1]) == [R(str(2**64)), R(str(-(2**63) - 1))]
        assert full(10**100_000) == R(f"<int of {(10**100_000).bit_length()} bits>")
        big = full(10**2000).text
        assert big.startswith("1000") and "more chars" in big

    def test_lone_surrogates_are_escaped(self):
        assert full({"\ud800": "a\udfff"}) == {"\\ud800": "a\\udfff"}
        assert light("\ud800") == full("\ud800") == "\\ud800"

    @pytest.mark.parametrize("room", range(1, 12))
    @pytest.mark.parametrize("dump", DUMPERS, ids=["full", "light"])
    def test_near_the_recursion_limit(self, dump, room):
        # The traced program may be deep in recursion when its frame is dumped.
        value = {"x": [1, {"y": BadRepr()}], "z": "\ud800"}

        def recurse():
            try:
                result = recurse()
            except RecursionError:
                return 0
            if isinstance(result, int):
                return dump(value) if result == room else result + 1
            return result

        decode(recurse())


class TestStoredKinds:
    """What a stored value says about what it was."""

    def test_strings_that_look_like_reprs_stay_strings(self):
        assert full({"s": "Foo(1)", "t": "<tag>"}) == {"s": "Foo(1)", "t": "<tag>"}

    def test_tuples_sets_and_reprs_are_marked(self):
        class Point:
            def __repr__(self):
                return "Point(1, 2)"

        out = full({"t": (1, (2,)), "e": (), "s": {"a"}, "f": frozenset(), "p": Point()})
        assert out == {
            "t": (1, (2,)),
            "e": (),
            "s": StoredSet(("a",)),
            "f": StoredSet((), frozen=True),
            "p": R("Point(1, 2)"),
        }

    def test_extension_codes_match_the_reading_side(self):
        from vask import _dump, values

        for name in ("EXT_REPR", "EXT_TUPLE", "EXT_SET", "EXT_FROZENSET"):
            assert getattr(_dump, name) == getattr(values, name)
        assert 6 not in (values.EXT_REPR, values.EXT_TUPLE, values.EXT_SET, values.EXT_FROZENSET)

    def test_long_tuple_payloads(self):
        # Payloads past 255 and 65535 bytes take longer extension headers.
        for n in (10, 60, 100):
            value = tuple("x" * 700 for _ in range(n))
            assert full(value) == value


class Plain:
    pass


class CustomRepr:
    def __repr__(self):
        return "CustomRepr()"


class Restored(CustomRepr):
    __repr__ = object.__repr__


class Text(str):
    def __eq__(self, other):
        raise AssertionError("compared through Python")

    __hash__ = str.__hash__

    def __str__(self):
        raise AssertionError("converted through Python")


def default_repr_cases():
    """Objects whose repr is object's own, under every way a type can name itself."""

    class Nested:
        class Inner:
            pass

    def made(name, module):
        cls = type(name, (), {})
        cls.__module__ = module
        return cls()

    return [
        Plain(),
        Nested.Inner(),
        Restored(),
        object(),
        made("Builtin", "builtins"),
        made("NotText", 5),
        made("Subclassed", Text("some.module")),
        made("Ünïcødé", "módulo.ñ"),
        made("LoneSurrogate", "m\udce9"),
        made("Long", "m" * 1200),
        made("Medium", "m" * 90),
        nameless(),
    ]


def nameless():
    """An instance of a class whose __dict__ has no __module__ at all."""
    namespace = {"__builtins__": __builtins__}
    exec("cls = type('Nameless', (), {})", namespace)  # globals without __name__
    assert "__module__" not in namespace["cls"].__dict__
    return namespace["cls"]()


class TestDefaultReprs:
    """An object's repr written without calling it says what the call says."""

    @pytest.mark.parametrize("value", default_repr_cases(), ids=lambda v: type(v).__name__)
    def test_the_text_is_the_calls(self, value):
        expected_full = decode(dump_msgpack(Opaque(repr(value))))
        expected_light = decode(dump_msgpack_lightweight_repr(Opaque(repr(value))))
        assert full(value) == expected_full
        assert full([value]) == [expected_full]
        assert light(value) == expected_light
        assert light({"k": value}) == {"k": expected_light}

    def test_a_repr_of_its_own_is_still_called(self):
        assert full(CustomRepr()) == R("CustomRepr()")


class Opaque:
    """An object whose repr is the given text, through a __repr__ call."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


class Explosive:
    """Every protocol method raises; counts any attribute hook call."""

    getattr_calls = 0

    def __eq__(self, other):
        raise RuntimeError("__eq__")

    def __hash__(self):
        raise RuntimeError("__hash__")

    def __len__(self):
        raise RuntimeError("__len__")

    def __iter__(self):
        raise RuntimeError("__iter__")

    def __bool__(self):
        raise RuntimeError("__bool__")

    def __getattr__(self, name):
        type(self).getattr_calls += 1
        raise AttributeError(name)

    def __repr__(self):
        return "Explosive()"


class TestHostileProtocols:
    def test_no_user_code_but_repr(self):
        explosive = Explosive()
        box = {"e": explosive, "l": [explosive], "s": {1: explosive}}
        assert full(box) == {
            "e": R("Explosive()"),
            "l": [R("Explosive()")],
            "s": {"1": R("Explosive()")},
        }
        assert light(box)["e"] == R("Explosive()")
        assert Explosive.getattr_calls == 0

    def test_lying_class_attribute_is_ignored(self):
        class Pretender:
            @property
            def __class__(self):
                return dict

            def __repr__(self):
                return "Pretender()"

        assert full({"p": Pretender()}) == {"p": R("Pretender()")}

    def test_subclasses_are_read_through_the_base_type(self):
        class S(str):
            def __len__(self):
                raise RuntimeError

            def __getitem__(self, i):
                raise RuntimeError

            def __str__(self):
                raise RuntimeError

        class I(int):
            def __int__(self):
                raise RuntimeError

            def __repr__(self):
                raise RuntimeError

        class D(dict):
            def items(self):
                raise RuntimeError

            def __iter__(self):
                raise RuntimeError

            def __len__(self):
                raise RuntimeError

            def __getitem__(self, key):
                raise RuntimeError

            def keys(self):
                raise RuntimeError

        class L(list):
            def __iter__(self):
                raise RuntimeError

            def __len__(self):
                raise RuntimeError

            def __getitem__(self, i):
                raise RuntimeError

        class T(tuple):
            def __iter__(self):
                raise RuntimeError

        class Z(set):
            def __iter__(self):
                raise RuntimeError

        value = {"s": S("text"), "i": I(7), "d": D(a=1), "l": L([1, 2]), "long": S("q" * 5000)}
        out = full(value)
        assert out["s"] == "text" and out["i"] == 7
        assert out["d"] == {"a": 1} and out["l"] == [1, 2]
        assert out["long"].endswith("...<4000 more chars>")
        assert full({S("k"): 1}) == {"k": 1}
        assert full([T((1,)), Z({2}), I(2**70)]) == [(1,), StoredSet((2,)), R(str(2**70))]
        assert light(D(a=1)) == {"a": 1}

    def test_collections_subclasses(self):
        ordered = collections.OrderedDict(a=1, b=2)
        ordered.move_to_end("a")
        assert list(full(ordered)) == ["b", "a"]
        assert list(light(ordered)) == ["b", "a"]
        assert full(collections.defaultdict(int, x=1)) == {"x": 1}
        assert full(collections.namedtuple("P", "x y")(1, 2)) == (1, 2)
        assert full(collections.Counter("aab")) == {"a": 2, "b": 1}

    def test_ordered_dict_with_hashing_keys_runs_no_hash(self):
        class Key:
            armed = False

            def __hash__(self):
                if Key.armed:
                    raise RuntimeError("__hash__")
                return 1

            def __eq__(self, other):
                if Key.armed:
                    raise RuntimeError("__eq__")
                return self is other

            def __repr__(self):
                return "Key()"

        ordered = collections.OrderedDict([(Key(), 1), ("b", 2)])
        Key.armed = True
        try:
            assert full({"o": ordered})["o"] == {"Key()": 1, "b": 2}
            assert light(ordered) == {"Key()": 1, "b": 2}
        finally:
            Key.armed = False

    def test_enum_members_are_their_repr(self):
        class Color(enum.IntEnum):
            RED = 1

        assert full([Color.RED]) == [R("<Color.RED: 1>")]
        assert full({Color.RED: 1}) == {"<Color.RED: 1>": 1}

    def test_non_text_keys(self):
        out = full({1: "int", "1": "str", None: 0, (1, 2): 3, BadRepr(): 4, 2**70: 5})
        assert out == {
            "1": "int",
            "1 <str>": "str",
            "None": 0,
            "(1, 2)": 3,
            "<unrepresentable BadRepr>": 4,
            str(2**70): 5,
        }

    def test_long_keys_cut_alike_stay_apart(self):
        a, b = "k" * MAX_STRING_CHARS + "a", "k" * MAX_STRING_CHARS + "b"
        out = full({a: 1, b: 2})
        assert len(out) == 2 and sorted(out.values()) == [1, 2]

    def test_recursion_through_repr(self):
        class Dumps:
            def __repr__(self):
                return dump_msgpack(self).decode("latin-1")

        class Loops:
            def __repr__(self):
                return repr(self)

        decode(dump_msgpack(Dumps()))
        assert full(Loops()) == R("<unrepresentable Loops>")

    def test_mutation_by_repr_does_not_break_the_walk(self):
        target: dict = {}

        class Mutator:
            def __repr__(self):
                target.update({f"n{i}": i for i in range(50)})
                return "Mutator()"

        target["m"] = Mutator()
        target["x"] = [1]
        assert full(target) == {"m": R("Mutator()"), "x": [1]}

    def test_repr_growing_the_list_being_written(self):
        # A writer that puts a container's length first must not run user code
        # while writing its items.
        grown: list = []

        class Grower:
            def __repr__(self):
                grown.append(len(grown))
                return "Grower()"

        for make in (lambda: {"l": grown}, lambda: grown, lambda: {"d": {"l": grown}}):
            grown[:] = [Grower(), 7]
            out = full(make())
            assert "Grower()" in str(out)

    def test_repr_emptying_the_container_keeps_its_items_alive(self):
        box: list = []

        class Clearer:
            def __repr__(self):
                box.clear()
                return "Clearer()"

        class Item:
            def __repr__(self):
                return "Item()"

        box[:] = [Clearer(), Item(), {"k": Item()}]
        assert full(box) == [R("Clearer()"), R("Item()"), {"k": R("Item()")}]
        mapping = {"c": None, "i": Item()}

        class DictClearer:
            def __repr__(self):
                mapping.clear()
                return "DictClearer()"

        mapping["c"] = DictClearer()
        assert full(mapping) == {"c": R("DictClearer()"), "i": R("Item()")}


class ReleasesTheLock:
    """A repr that gives other threads time to run (it sleeps without the GIL)."""

    def __repr__(self):
        time.sleep(0.0001)
        return "Slow()"


class TestThreads:
    def test_concurrent_dumps_stay_separate(self):
        class Yielding:
            def __repr__(self):
                time.sleep(0)  # invite a thread switch mid-dump
                return "Y"

        values = [{"i": i, "s": "x" * i, "y": Yielding(), "l": [i] * 5} for i in range(50)]
        expected = [full(v) for v in values]
        failures = []

        def work():
            for _ in range(20):
                for value, want in zip(values, expected):
                    if full(value) != want:
                        failures.append(value)

        threads = [threading.Thread(target=work) for _ in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert failures == []

    @pytest.mark.parametrize("dump", DUMPERS, ids=["full", "light"])
    def test_container_changed_by_another_thread_while_a_repr_waits(self, dump):
        items: list = [ReleasesTheLock() for _ in range(20)]
        mapping: dict = {f"k{i}": ReleasesTheLock() for i in range(20)}
        members: set = {ReleasesTheLock() for _ in range(20)}
        value = {"list": items, "dict": mapping, "set": members, "nested": [mapping, items]}
        stop = threading.Event()

        def mutate():
            n = 0
            while not stop.is_set():
                n += 1
                items.append(ReleasesTheLock())
                del items[: len(items) // 2]
                mapping[f"n{n}"] = ReleasesTheLock()
                for key in list(mapping)[: len(mapping) // 2]:
                    mapping.pop(key, None)
                members.add(ReleasesTheLock())
                members.pop()
                items.clear() if n % 7 == 0 else None
                items.extend(ReleasesTheLock() for _ in range(5))
                time.sleep(0)

        worker = threading.Thread(target=mutate)
        worker.start()
        try:
            deadline = time.monotonic() + 1.0
            while time.monotonic() < deadline:
                decode(dump(value))
                decode(dump(items))
                decode(dump(mapping))
        finally:
            stop.set()
            worker.join()


class Color(enum.IntEnum):
    RED = 1


class Tag(str):
    pass


class TestLightweight:
    def test_locals_keep_short_plain_values_and_objects_become_short_reprs(self):
        out = light({"n": 1, "s": "abc", "obj": Explosive(), "l": [1, 2], "none": None})
        assert out == {"n": 1, "s": "abc", "obj": R("Explosive()"), "l": R("[1, 2]"), "none": None}
        assert type(out["n"]) is int and type(out["s"]) is str

    def test_reprs_are_cut(self):
        out = light({"big": "z" * 10_000_000, "list": list(range(1000)), "few": list(range(50))})
        assert out["big"] == R("'" + "z" * (LIGHTWEIGHT_REPR_CHARS - 1) + "...")
        assert out["list"] == R("<list of 1000 items>")
        few = out["few"].text
        assert len(few) == LIGHTWEIGHT_REPR_CHARS + 3 and few.endswith("...")

    def test_other_values_are_one_value(self):
        assert light(42) == 42
        assert light("end_test") == "end_test"
        assert light(types.SimpleNamespace(a=1)) == R("namespace(a=1)")
        assert light(_cyclic_list()) == R("[1, [...]]")
        assert light((1,)) == R("(1,)")

    def test_many_locals_are_cut(self):
        out = light({f"v{i}": i for i in range(1000)})
        assert out[TRUNCATED_KEY] == R("<900 more items>")

    @pytest.mark.parametrize(
        "value, expected",
        [
            (
                {"edge": 2**64 - 1, "low": -(2**63), "big": 2**64, "huge": 10**5000},
                {"edge": 2**64 - 1, "low": -(2**63), "big": R(str(2**64))},
            ),
            (
                {"nan": math.inf, "escaped": "\x00" * 60, "raw": b"\xff" * 200},
                {
                    "nan": math.inf,
                    "escaped": "\x00" * 60,
                    "raw": R(
                        repr(b"\xff" * LIGHTWEIGHT_REPR_CHARS)[:LIGHTWEIGHT_REPR_CHARS] + "..."
                    ),
                },
            ),
            ({"k" * 1001: 1}, {"k" * MAX_STRING_CHARS + "...<1 more chars>": 1}),
            ({1: "int key", "1": "text key"}, {"1": "int key", "1 <str>": "text key"}),
            (
                {"at": "x" * LIGHTWEIGHT_REPR_CHARS, "past": "x" * (LIGHTWEIGHT_REPR_CHARS + 1)},
                {
                    "at": "x" * LIGHTWEIGHT_REPR_CHARS,
                    "past": R("'" + "x" * (LIGHTWEIGHT_REPR_CHARS - 1) + "..."),
                },
            ),
            # only the exact types: subclasses (enums among them) are objects
            (
                {"flag": Color.RED, "mark": Tag("t"), "yes": True},
                {"flag": R(repr(Color.RED)), "mark": R(repr(Tag("t"))), "yes": True},
            ),
        ],
    )
    def test_short_forms(self, value, expected):
        out = light(value)
        huge = out.pop("huge", None)
        assert huge in (None, R("<int of 16610 bits>"))
        assert out == expected
        assert [type(v) for v in out.values()] == [type(v) for v in expected.values()]

    def test_repr_changing_the_locals(self):
        frame_locals: dict = {"a": 1}

        class Adder:
            def __repr__(self):
                frame_locals[f"n{len(frame_locals)}"] = 0
                return "Adder()"

        frame_locals["adder"] = Adder()
        out = light(frame_locals)
        assert out == {"a": 1, "adder": R("Adder()")}


class TestConstants:
    @pytest.mark.parametrize(
        ("name", "signature"),
        [
            ("dump_msgpack", "(value, /)"),
            ("dump_msgpack_lightweight_repr", "(value, /)"),
            ("configure_redaction", "(names, /)"),
            ("is_secret_name", "(name, /)"),
            ("redaction_from_config", "(redact, extra=None, /)"),
            ("redact_command_line", "(arguments, names, /)"),
            (
                "trace_point_document",
                "(trace_id, root_trace_id, thread_id, thread, co_name, records, source, config,"
                " handed_at, /)",
            ),
        ],
    )
    def test_native_signatures(self, name, signature):
        import inspect

        from vask import _dump

        function = getattr(_dump, name)
        assert str(inspect.signature(function)) == signature
        assert function.__doc__

    def test_serialize_exports_the_native_dumpers(self):
        from vask import _dump

        assert serialize.dump_msgpack is _dump.dump_msgpack
        assert serialize.dump_msgpack_lightweight_repr is _dump.dump_msgpack_lightweight_repr
        assert (MAX_STRING_CHARS, MAX_BYTES, MAX_ITEMS, MAX_DEPTH) == (1000, 1000, 100, 8)


class Slow:
    """A repr that runs Python code for a while: signal handlers run inside it."""

    def __repr__(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            pass
        return "Slow()"


class Sleepy:
    """A repr that waits in C (time.sleep), where signals are checked too."""

    def __repr__(self):
        time.sleep(10)
        return "Sleepy()"


class Timeout(Exception):
    pass


@contextlib.contextmanager
def alarm(handler):
    """SIGALRM with ``handler``, firing once after 50 ms."""
    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def raise_timeout(signum, frame):
    raise Timeout(f"signal {signum}")


def exit_from_handler(signum, frame):
    sys.exit(3)


class Watchdog:
    def fire(self, signum, frame):
        self.helper()

    def helper(self):
        raise Timeout("from a helper of a bound-method handler")


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
class TestProgramExceptions:
    """Exceptions of the program itself reach it; errors of the values do not."""

    @pytest.mark.parametrize("dump", DUMPERS, ids=["full", "light"])
    @pytest.mark.parametrize("slow", [Slow, Sleepy], ids=["python", "sleep"])
    def test_timeout_of_a_signal_handler_reaches_the_program(self, dump, slow):
        with alarm(raise_timeout), pytest.raises(Timeout):
            dump({"n": 1, "v": [{"deep": slow()}]})
        assert decode(dump({"after": Explosive()}))  # the dumper is still usable

    @pytest.mark.parametrize("dump", DUMPERS, ids=["full", "light"])
    def test_exit_from_a_signal_handler_reaches_the_program(self, dump):
        with alarm(exit_from_handler), pytest.raises(SystemExit) as exit_info:
            dump((Slow(),))
        assert exit_info.value.code == 3

    def test_handler_that_is_a_method_calling_a_helper(self):
        with alarm(Watchdog().fire), pytest.raises(Timeout):
            dump_msgpack([Slow()])

    @pytest.mark.parametrize("dump", DUMPERS, ids=["full", "light"])
    def test_raising_repr_is_contained_while_a_handler_is_installed(self, dump):
        old = signal.signal(signal.SIGALRM, raise_timeout)
        try:
            assert decode(dump([BadRepr()])) in (
                [R("<unrepresentable BadRepr>")],
                R("[<unrepresentable BadRepr>]"),
                R("<unrepresentable list>"),
            )
        finally:
            signal.signal(signal.SIGALRM, old)

    @pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
    @pytest.mark.parametrize("dump", DUMPERS, ids=["full", "light"])
    def test_exceptions_that_are_not_errors_go_through(self, dump, error):
        class Raises:
            def __repr__(self):
                raise error

        with pytest.raises(error):
            dump({"v": Raises()})
        with pytest.raises(error):
            dump({"v": [{"w": (Raises(),)}]})


class TestLeaks:
    def test_a_million_dumps_keep_memory_flat(self):
        class Item:
            def __init__(self, n):
                self.n = n

            def __repr__(self):
                return f"Item({self.n})"

        ordered = collections.OrderedDict(b=1, a=(2, 3))
        values = [
            {"total": 123, "rate": 5, "name": "order"},
            {"self": Item(1), "items": [Item(i) for i in range(3)], "password": "hunter2"},
            (1, "x", None, 2.5, b"raw"),
            {1: "int", "1": "str", (1,): {3, 4}, "fs": frozenset("ab")},
            [BadRepr(), NotAString(), 2**80, "é" * 1200, b"\x00" * 1200],
            _cyclic_dict(),
            ordered,
            {"h": {"Authorization": "Bearer x", "Accept": "*/*"}, "rows": [{"token": "t"}]},
        ]
        dumps = DUMPERS * 4

        def run(rounds):
            for _ in range(rounds):
                for value in values:
                    for dump in dumps:
                        dump(value)

        # Under AddressSanitizer freed memory waits in a quarantine, so the
        # process grows whatever the dumpers do: there only Python's own
        # blocks are counted, over fewer dumps.
        sanitized = "ASAN_OPTIONS" in os.environ
        run(2_000)  # warm: caches, per-thread buffers, interned texts
        gc.collect()
        blocks = sys.getallocatedblocks()
        rss = _rss_bytes()
        run((100_000 if sanitized else 1_000_000) // (len(values) * len(dumps)))
        gc.collect()
        assert sys.getallocatedblocks() - blocks < 1_000
        if not sanitized:
            assert _rss_bytes() - rss < 8 * 1024 * 1024


def _rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
