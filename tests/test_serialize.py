"""The value dumpers: one bounded MessagePack object for any value, never an exception."""

from __future__ import annotations

import collections
import enum
import math
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

DUMPERS = [dump_msgpack, dump_msgpack_lightweight_repr]
# Worst case of one dump: the unit budget, at up to 4 UTF-8 bytes a character.
SIZE_BOUND = 4 * MAX_OUTPUT_UNITS + 64 * 1024


def decode(data: bytes):
    """The single object in ``data``; fails on trailing bytes or non-text map keys."""
    assert type(data) is bytes
    assert len(data) <= SIZE_BOUND
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=True, max_buffer_size=SIZE_BOUND)
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
    "lone surrogates": lambda: {"\ud800key": "va\udfffl", "k": ["\ud801"]},
    "wide and deep": lambda: [[["y" * MAX_STRING_CHARS] * MAX_ITEMS] * MAX_ITEMS] * MAX_ITEMS,
}


class TestHostileValues:
    @pytest.mark.parametrize("make", HOSTILE.values(), ids=HOSTILE.keys())
    @pytest.mark.parametrize("dump", DUMPERS, ids=["full", "light"])
    def test_one_bounded_object(self, dump, make):
        decode(dump(make()))

    def test_cycles_are_cut_where_they_recur(self):
        assert full(_cyclic_list()) == [1, "<cycle: list>"]
        assert full(_cyclic_dict()) == {"a": 1, "me": "<cycle: dict>"}

    def test_shared_reference_is_not_a_cycle(self):
        shared = [1, 2]
        assert full([shared, shared, {"x": shared}]) == [[1, 2], [1, 2], {"x": [1, 2]}]

    def test_raising_repr_becomes_placeholder(self):
        assert full(BadRepr()) == "<unrepresentable BadRepr>"
        assert full({"obj": BadRepr()}) == {"obj": "<unrepresentable BadRepr>"}
        assert light({"obj": BadRepr()}) == {"obj": "<unrepresentable BadRepr>"}
        assert light(BadRepr()) == "<unrepresentable BadRepr>"

    def test_long_text_and_binary_are_cut_with_a_marker(self):
        text = full("é" * 10_000_000)
        assert text == "é" * MAX_STRING_CHARS + f"...<{10_000_000 - MAX_STRING_CHARS} more chars>"
        data = full(b"\x01" * 10_000_000)
        assert data.startswith(b"\x01" * MAX_BYTES)
        assert data.endswith(f"...<{10_000_000 - MAX_BYTES} more bytes>".encode())
        assert full(bytearray(b"ab")) == b"ab"
        assert full(memoryview(b"ab")) == b"ab"
        assert full(memoryview(b"z" * 5000)).endswith(b"...<4000 more bytes>")

    def test_deep_nesting_is_cut(self):
        value = full(nested_lists(10_000))
        for _ in range(MAX_DEPTH):
            assert isinstance(value, list) and len(value) == 1
            value = value[0]
        assert value == "<list nested too deep>"

    def test_large_containers_are_cut(self):
        assert full(list(range(1000))) == list(range(MAX_ITEMS)) + ["<900 more items>"]
        mapping = full({f"k{i}": i for i in range(1_000_000)})
        assert len(mapping) == MAX_ITEMS + 1
        assert mapping[TRUNCATED_KEY] == f"<{1_000_000 - MAX_ITEMS} more items>"
        assert len(full(set(range(1000)))) == MAX_ITEMS + 1

    def test_budget_bounds_wide_and_deep_values(self):
        value = full(HOSTILE["wide and deep"]())
        assert OUTPUT_LIMIT_MARKER in str(value)

    def test_values_without_a_natural_form_are_reprs(self):
        assert full(a_generator()).startswith("<generator object a_generator")
        assert full(BadRepr).startswith("<class ")
        assert full(sys) == "<module 'sys' (built-in)>"
        assert full(sys._getframe()).startswith("<frame at ")
        assert full(_released_view()).startswith("<released memory")

    def test_scalars(self):
        inf, ninf, nan = full([math.inf, -math.inf, math.nan])
        assert inf == math.inf and ninf == -math.inf and math.isnan(nan)
        assert full([None, True, False, 0.5]) == [None, True, False, 0.5]
        assert full(tuple("ab")) == ["a", "b"]
        assert sorted(full({3, 1, 2})) == [1, 2, 3]

    def test_int_range(self):
        edges = [2**64 - 1, -(2**63)]
        assert full(edges) == edges
        assert full([2**64, -(2**63) - 1]) == [str(2**64), str(-(2**63) - 1)]
        assert full(10**100_000) == f"<int of {(10**100_000).bit_length()} bits>"
        assert full(10**2000).startswith("1000") and "more chars" in full(10**2000)

    def test_lone_surrogates_are_escaped(self):
        assert full({"\ud800": "a\udfff"}) == {"\\ud800": "a\\udfff"}
        assert light("\ud800") == "'\\ud800'"

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
        assert full(box) == {"e": "Explosive()", "l": ["Explosive()"], "s": {"1": "Explosive()"}}
        assert light(box)["e"] == "Explosive()"
        assert Explosive.getattr_calls == 0

    def test_lying_class_attribute_is_ignored(self):
        class Pretender:
            @property
            def __class__(self):
                return dict

            def __repr__(self):
                return "Pretender()"

        assert full({"p": Pretender()}) == {"p": "Pretender()"}

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

        class L(list):
            def __iter__(self):
                raise RuntimeError

            def __len__(self):
                raise RuntimeError

        value = {"s": S("text"), "i": I(7), "d": D(a=1), "l": L([1, 2]), "long": S("q" * 5000)}
        out = full(value)
        assert out["s"] == "text" and out["i"] == 7
        assert out["d"] == {"a": 1} and out["l"] == [1, 2]
        assert out["long"].endswith("...<4000 more chars>")
        assert full({S("k"): 1}) == {"k": 1}
        assert light(D(a=1)) == {"a": "1"}

    def test_collections_subclasses(self):
        ordered = collections.OrderedDict(a=1, b=2)
        ordered.move_to_end("a")
        assert list(full(ordered)) == ["b", "a"]
        assert full(collections.defaultdict(int, x=1)) == {"x": 1}
        assert full(collections.namedtuple("P", "x y")(1, 2)) == [1, 2]

    def test_enum_members_are_their_repr(self):
        class Color(enum.IntEnum):
            RED = 1

        assert full([Color.RED]) == ["<Color.RED: 1>"]
        assert full({Color.RED: 1}) == {"<Color.RED: 1>": 1}

    def test_non_text_keys(self):
        out = full({1: "int", "1": "str", None: 0, (1, 2): 3, BadRepr(): 4})
        assert out == {
            "1": "int",
            "1 <str>": "str",
            "None": 0,
            "(1, 2)": 3,
            "<unrepresentable BadRepr>": 4,
        }

    def test_recursion_through_repr(self):
        class Dumps:
            def __repr__(self):
                return dump_msgpack(self).decode("latin-1")

        class Loops:
            def __repr__(self):
                return repr(self)

        decode(dump_msgpack(Dumps()))
        assert full(Loops()) == "<unrepresentable Loops>"

    def test_mutation_by_repr_does_not_break_the_walk(self):
        target: dict = {}

        class Mutator:
            def __repr__(self):
                target.update({f"n{i}": i for i in range(50)})
                return "Mutator()"

        target["m"] = Mutator()
        target["x"] = [1]
        assert full(target) == {"m": "Mutator()", "x": [1]}

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

    def test_keyboard_interrupt_is_not_swallowed(self):
        class Interrupted:
            def __repr__(self):
                raise KeyboardInterrupt

        for dump in DUMPERS:
            with pytest.raises(KeyboardInterrupt):
                dump({"v": Interrupted()})


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


class TestFastPathMatchesWalker:
    # The fast path must write what the careful walker writes.
    @pytest.mark.parametrize(
        "value",
        [
            {"a": 1, "b": "hi", "c": [1, 2.5, None], "d": (True, "x"), "e": b"raw"},
            {"self": Explosive(), "n": -5, "nested": {"deep": {"er": [1]}}},
            {"k": 2**64 - 1, "neg": -(2**63)},
            {"k": "s" * MAX_STRING_CHARS},
            None,
            "text",
            [1, [2, [3, [4, [5]]]]],
        ],
    )
    def test_same_output(self, value):
        slow = serialize._pack_tree(serialize._build_full, value)
        assert dump_msgpack(value) == slow

    def test_values_beside_an_object_keep_their_form(self):
        # An object among the locals (``self``) sends the dict through the
        # path that takes reprs; every other value must still be itself.
        assert full({"self": Explosive(), "x": None}) == {"self": "Explosive()", "x": None}

        class I(int):
            pass

        class F(float):
            pass

        class S(str):
            pass

        class B(bytes):
            pass

        value = {
            "self": Explosive(),
            "none": None,
            "flag": False,
            "i": I(3),
            "f": F(1.5),
            "s": S("text"),
            "b": B(b"raw"),
            "nested": [None, {"k": None}, (True, None)],
        }
        out = full(value)
        assert out["none"] is None and out["flag"] is False
        assert out["nested"] == [None, {"k": None}, [True, None]]
        assert out["i"] == 3 and out["f"] == 1.5 and out["s"] == "text" and out["b"] == b"raw"
        assert dump_msgpack(value) == serialize._pack_tree(serialize._build_full, value)

    def test_each_container_is_measured_once(self, monkeypatch):
        # Measuring walks the whole container: the dump must not do it twice.
        measured = []
        cost = serialize._fast_cost

        def counting(x, depth):
            if depth == 1:
                measured.append(id(x))
            return cost(x, depth)

        monkeypatch.setattr(serialize, "_fast_cost", counting)
        items = [{"id": i} for i in range(5)]
        for value in ({"self": Explosive(), "items": items}, {"items": items, "n": 1}):
            measured.clear()
            assert full(value)["items"] == items
            assert measured.count(id(items)) == 1


class TestLightweight:
    def test_locals_become_short_reprs(self):
        out = light({"n": 1, "s": "abc", "obj": Explosive(), "l": [1, 2], "none": None})
        assert out == {"n": "1", "s": "'abc'", "obj": "Explosive()", "l": "[1, 2]", "none": "None"}

    def test_reprs_are_cut(self):
        out = light({"big": "z" * 10_000_000, "list": list(range(1000)), "few": list(range(50))})
        assert out["big"] == "'" + "z" * (LIGHTWEIGHT_REPR_CHARS - 1) + "..."
        assert out["list"] == "<list of 1000 items>"
        assert len(out["few"]) == LIGHTWEIGHT_REPR_CHARS + 3 and out["few"].endswith("...")

    def test_other_values_are_one_text(self):
        assert light(42) == "42"
        assert light(types.SimpleNamespace(a=1)) == "namespace(a=1)"
        assert light(_cyclic_list()) == "[1, [...]]"

    def test_many_locals_are_cut(self):
        out = light({f"v{i}": i for i in range(1000)})
        assert out[TRUNCATED_KEY] == "<900 more items>"

    @pytest.mark.parametrize(
        "value",
        [
            {"n": 1, "s": "abc", "f": 2.5, "b": True, "none": None},
            {"edge": 2**64 - 1, "neg": -(2**63), "big": 2**64, "huge": 10**5000},
            {"nan": math.nan, "escaped": "\x00" * 60, "long": "é" * 500, "raw": b"\xff" * 200},
            {"self": Explosive(), "bad": BadRepr(), "l": [1, {"a": None}], "password": "p"},
            {"k" * (MAX_STRING_CHARS + 1): 1},
            {1: "int key", "1": "text key"},
        ],
    )
    def test_fast_path_matches_walker(self, value):
        slow = serialize._pack_tree(serialize._build_light, value)
        assert dump_msgpack_lightweight_repr(value) == slow

    def test_repr_changing_the_locals(self):
        frame_locals: dict = {"a": 1}

        class Adder:
            def __repr__(self):
                frame_locals[f"n{len(frame_locals)}"] = 0
                return "Adder()"

        frame_locals["adder"] = Adder()
        out = light(frame_locals)
        assert out["a"] == "1" and out["adder"] == "Adder()"
