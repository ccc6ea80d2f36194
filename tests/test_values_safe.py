"""Values recorded without running the program's code: objects by their fields,
reprs only where they are known to be pure, and a byte cap per value."""

from __future__ import annotations

import dataclasses
import datetime
import decimal
import enum
import fractions
import pathlib
import os
import re
import subprocess
import sys
import tracemalloc
import uuid
from collections import OrderedDict

import msgpack
import pytest
from vask import config as vask_config
from vask import render, serialize
from vask.serialize import dump_msgpack, dump_msgpack_lightweight_repr
from vask.values import ObjectRepr, StoredObject, ext_hook, unpack_value
from vask.viewer.values import to_json

from engine_driver import frames_named


def full(value):
    return msgpack.unpackb(dump_msgpack(value), raw=False, strict_map_key=False, ext_hook=ext_hook)


def light(value):
    return unpack_value(dump_msgpack_lightweight_repr(value))


@pytest.fixture(params=["safe", "fields"])
def no_repr_mode(request):
    serialize.configure_values(request.param)
    return request.param


# -- objects whose code has side effects --------------------------------------------


class Spy:
    """Counts every call into its code a recorder could make."""

    calls: list[str] = []

    def __init__(self):
        object.__setattr__(self, "payload", [1, 2])
        object.__setattr__(self, "lazy", (n for n in range(3)))

    def __repr__(self):
        Spy.calls.append("__repr__")
        return "Spy(" + ",".join(str(n) for n in self.lazy) + ")"  # consumes the generator

    def __getattribute__(self, name):
        if not name.startswith("__"):
            Spy.calls.append("__getattribute__")
        return object.__getattribute__(self, name)

    def __getattr__(self, name):
        Spy.calls.append("__getattr__")
        raise AttributeError(name)

    @property
    def computed(self):
        Spy.calls.append("property")
        return 42

    def __eq__(self, other):
        Spy.calls.append("__eq__")
        return self is other

    __hash__ = object.__hash__


class TestNoCodeRuns:
    def test_side_effects_never_run(self, no_repr_mode):
        Spy.calls.clear()
        spy = Spy()
        stored = full({"spy": spy, "nested": [spy], "as_key": {spy: 1}})
        short = light({"spy": spy})
        assert Spy.calls == []
        assert list(object.__getattribute__(spy, "lazy")) == [0, 1, 2]  # never consumed
        obj = stored["spy"]
        assert isinstance(obj, StoredObject)
        assert obj.type_name.endswith("test_values_safe.Spy")
        assert obj.address == id(spy)
        assert obj.fields["payload"] == [1, 2]
        assert isinstance(obj.fields["lazy"], ObjectRepr) if no_repr_mode == "safe" else True
        assert stored["nested"][0].address == id(spy)
        assert str(short["spy"]).startswith("Spy(payload=[1, 2], lazy=")

    def test_repr_setting_calls_the_repr(self):
        serialize.configure_values("repr")
        Spy.calls.clear()
        assert full(Spy()) == ObjectRepr("Spy(0,1,2)")
        assert Spy.calls == ["__repr__", "__getattribute__"]

    def test_a_vouched_type_has_its_repr_called(self, no_repr_mode):
        Spy.calls.clear()
        serialize.configure_values(no_repr_mode, [f"{__name__}.Spy"])
        assert full(Spy()) == ObjectRepr("Spy(0,1,2)")
        assert "__repr__" in Spy.calls

    def test_keys_of_plain_values_keep_their_text(self, no_repr_mode):
        stored = full({(1, "a"): 1, frozenset({2}): 2, 3.5: 3, Slotted(): 4})
        assert list(stored)[:3] == ["(1, 'a')", "frozenset({2})", "3.5"]
        assert list(stored)[3].startswith("<test_values_safe.Slotted object at 0x")

    def test_a_class_is_its_name_whatever_its_metaclass(self, no_repr_mode):
        """A class is written as ``<class 'module.QualName'>``: not by its dict, which is
        what it defines rather than holds, and without its metaclass's repr."""
        name = f"<class '{__name__}.Built'>"
        values = {"built": Built, "enum": Color, "plain": int, "keyed": {Built: 1}}
        assert full(values) == {
            "built": ObjectRepr(name),
            "enum": ObjectRepr(f"<class '{__name__}.Color'>"),
            "plain": ObjectRepr("<class 'int'>"),
            "keyed": {name: 1},
        }
        assert light([Built]) == ObjectRepr(f"[{name}]")
        # a member of an enum with a repr of its own: its class by name among its fields
        member = full(Loud.A)
        assert member.fields["__objclass__"] == ObjectRepr(f"<class '{__name__}.Loud'>")

    def test_a_staticmethod_of_a_function_is_its_repr(self, no_repr_mode):
        """A staticmethod or classmethod of a plain function shows that function, as its
        repr does; one of any other callable is written by its fields, the callable's
        repr not called."""

        class Loud:
            def __call__(self):
                return None

            def __repr__(self):
                raise AssertionError("called")

        def f():
            return None

        values = [staticmethod(f), classmethod(f), staticmethod(Loud()), classmethod(Loud())]
        stored = full(values)
        if no_repr_mode == "safe":
            function = f"<function {f.__qualname__} at 0x{id(f):x}>"
            assert stored[:2] == [
                ObjectRepr(f"<staticmethod({function})>"),
                ObjectRepr(f"<classmethod({function})>"),
            ]
        else:
            assert all(isinstance(value, StoredObject) for value in stored[:2])
        assert all(isinstance(value, StoredObject) for value in stored[2:])
        light(values)  # the short text: no repr of Loud either

    def test_classes_and_functions_are_written_as_their_reprs_give_them(self, no_repr_mode):
        """The texts of classes (in every mode but "repr") and of plain functions (where
        functions are written by their reprs) are written without asking the interpreter
        for them: they must still be exactly what repr() gives."""

        class Outer:
            class Inner:
                pass

        def nested():
            return None

        renamed = lambda: None  # noqa: E731
        renamed.__qualname__ = "Ünï.c\u00f8de"
        classes = [
            int, OrderedDict, type, ValueError, Outer, Outer.Inner, Built,
            type("Number", (), {"__module__": 5}),  # a __module__ that is no text
            type("Plain", (), {"__module__": "builtins"}),
            eval('type("Nowhere", (), {})', {"__builtins__": __builtins__}),  # no __module__
            type("Ünïcode", (), {"__module__": "møde"}),
        ]  # fmt: skip
        assert "__module__" not in classes[9].__dict__
        stored = full(classes)
        assert stored == [ObjectRepr(repr(c)) for c in classes[:6]] + [
            ObjectRepr(type.__repr__(Built))
        ] + [ObjectRepr(repr(c)) for c in classes[7:]]
        functions = [nested, renamed, TestNoCodeRuns.test_dict_property_is_never_read]
        if no_repr_mode == "safe":
            assert full(functions) == [ObjectRepr(repr(f)) for f in functions]
        # A name the interpreter cannot encode is left to it.
        odd = type("Odd", (), {})
        odd.__qualname__ = "Odd\udcff"
        assert full(odd).text.startswith(f"<class '{__name__}.Odd")

    def test_dict_property_is_never_read(self, no_repr_mode):
        reads = []

        class Shadow:
            @property
            def __dict__(self):
                reads.append(1)
                return {"fake": True}

        s = Shadow()
        s.real = "yes"
        assert full(s).fields == {"real": "yes"}
        assert light(s) == ObjectRepr("Shadow(real='yes')")
        assert reads == []


class LoudMeta(type):
    def __repr__(cls):
        raise AssertionError("called")


class Built(metaclass=LoudMeta):
    x = 1


# -- where the fields come from --------------------------------------------------------


class Slotted:
    __slots__ = ("a", "b", "unset")

    def __init__(self):
        self.a = 1
        self.b = "two"


class SlottedChild(Slotted):
    __slots__ = ("c",)

    def __init__(self):
        super().__init__()
        self.c = 3.0


class Both:
    __slots__ = ("s", "__dict__")

    def __init__(self):
        self.s = "slot"
        self.d = "dict"


class TestFields:
    def test_slots_bases_first_and_unset_left_out(self, no_repr_mode):
        assert full(Slotted()).fields == {"a": 1, "b": "two"}
        assert list(full(SlottedChild()).fields.items()) == [("a", 1), ("b", "two"), ("c", 3.0)]

    def test_slots_and_dict_together(self, no_repr_mode):
        assert full(Both()).fields == {"s": "slot", "d": "dict"}

    def test_dictless_native_object(self, no_repr_mode):
        lock_like = iter([1, 2])  # list_iterator: no dict, no slots, object's repr
        stored = full(lock_like)
        assert isinstance(stored, ObjectRepr) and "list_iterator object at" in stored.text

    def test_cycles_through_objects(self, no_repr_mode):
        class Node:
            pass

        a, b = Node(), Node()
        a.next, b.next = b, a
        a.me = a
        stored = full(a)
        assert stored.fields["next"].fields["next"] == ObjectRepr("<cycle: Node>")
        assert stored.fields["me"] == ObjectRepr("<cycle: Node>")
        assert "<cycle: Node>" in str(light(a))

    def test_redaction_applies_to_field_names(self, no_repr_mode):
        class Account:
            def __init__(self):
                self.user = "ann"
                self.password = "hunter2"

        stored = full(Account())
        assert stored.fields == {"user": "ann", "password": ObjectRepr(serialize.REDACTED)}
        assert "hunter2" not in str(light(Account()))

    def test_exception_args_and_bound_methods(self, no_repr_mode):
        class Boom(Exception):
            pass

        stored = full(Boom(Spy()))
        assert isinstance(stored, StoredObject)
        assert isinstance(stored.fields["args"][0], StoredObject)
        method = full(Slotted().__init__)
        assert set(method.fields) == {"__func__", "__self__"}


class TestInlineAttributes:
    """From 3.11 on a plain instance keeps its attributes inline; recording
    reads them there, in the order they were set, and makes no __dict__."""

    def test_order_deletions_and_a_dict_made_later(self, no_repr_mode):
        class Plain:
            pass

        p = Plain()
        p.x, p.y = 1, 2
        del p.x
        p.z = 3
        assert list(full(p).fields.items()) == [("y", 2), ("z", 3)]
        vars(p)["w"] = 4  # the program makes the dict: it is read from now on
        p.v = 5
        assert list(full(p).fields.items()) == [("y", 2), ("z", 3), ("w", 4), ("v", 5)]

    def test_many_attributes(self, no_repr_mode):
        class Wide:
            pass

        w = Wide()
        for i in range(60):  # past what one class shares among its instances
            setattr(w, f"a{i}", i)
        assert full(w).fields == {f"a{i}": i for i in range(60)}

    def test_recording_makes_no_dict(self, no_repr_mode):
        class Cell:
            def __init__(self, i):
                self.i = i
                self.name = "cell"

        cells = [Cell(i) for i in range(2000)]
        dump_msgpack(cells[0])  # the type's facts and any buffer made once
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            for cell in cells:
                dump_msgpack(cell)
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
        # A dict per object would keep well over 100 bytes each.
        limit = 40_000 if sys.version_info >= (3, 11) else float("inf")
        assert grown < limit

    def test_a_changed_class_is_judged_again(self, no_repr_mode):
        @dataclasses.dataclass
        class Mutable:
            x: int = 1

        assert isinstance(full(Mutable()), StoredObject)

        def loud(self):
            raise AssertionError("called")

        Mutable.__repr__ = loud  # no longer the generated repr
        Mutable.extra = 0
        stored = full(Mutable())
        assert stored.fields == {"x": 1}


class Box:
    """Fields set from keyword arguments, in their order."""

    def __init__(self, **fields):
        for name, value in fields.items():
            setattr(self, name, value)


def object_bytes(obj, fields):
    """An object extension as msgpack itself writes it: the dumper writes the
    same bytes whichever way it reads and writes the fields."""
    name = f"{type(obj).__module__}.{type(obj).__qualname__}"
    body = msgpack.packb([name, id(obj), fields], use_bin_type=True)
    return msgpack.packb(msgpack.ExtType(7, body))


# Every encoding boundary of the ints that fit 64 bits, and the other values
# an object is written from its own storage with.
PLAIN_VALUES = [
    *(0, 1, 127, 128, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, 2**64 - 1),
    *(-1, -32, -33, -128, -129, -32768, -32769, -(2**31), -(2**31) - 1, -(2**63)),
    *(0.0, -2.5, float("inf"), None, True, False, b"\x00bin"),
    *("", "a", "x" * 31, "x" * 32, "x" * 300, "caf\u00e9", "\u2603" * 40),
]


class TestObjectBytes:
    """However an object's fields are read and written (borrowed and written in
    one piece, borrowed, or held while code may run), the bytes are the ones
    msgpack writes for [type name, address, fields]."""

    @pytest.mark.parametrize("value", PLAIN_VALUES, ids=repr)
    def test_each_plain_value(self, no_repr_mode, value):
        box = Box(v=value, after=1)
        assert dump_msgpack(box) == object_bytes(box, {"v": value, "after": 1})

    @pytest.mark.parametrize("count", [1, 15, 16, 17, 40])
    def test_field_counts_around_the_fixmap_and_the_borrowed_limit(self, no_repr_mode, count):
        fields = {f"f{i}": i * 1000 for i in range(count)}
        box = Box(**fields)
        assert dump_msgpack(box) == object_bytes(box, fields)

    def test_names_that_are_not_short_ascii(self, no_repr_mode):
        fields = {"n" * 40: 1, "caf\u00e9": 2.0, "ok": None}
        box = Box(**fields)
        assert dump_msgpack(box) == object_bytes(box, fields)

    def test_dict_slots_and_held_fields(self, no_repr_mode):
        box = Box(a=1, b="two")
        vars(box)  # a dict made by the program: read from there
        assert dump_msgpack(box) == object_bytes(box, {"a": 1, "b": "two"})
        slotted = SlottedChild()
        assert dump_msgpack(slotted) == object_bytes(slotted, {"a": 1, "b": "two", "c": 3.0})
        mixed = Box(a=1, items=[1, (2, 3)], inner=Box())
        stored = full(mixed)
        assert stored.fields["a"] == 1 and stored.fields["items"] == [1, (2, 3)]
        assert "Box object at" in stored.fields["inner"].text

    def test_a_non_str_name_in_the_instance_dict(self, no_repr_mode):
        box = Box(a=1)
        vars(box)[7] = "seven"
        assert full(box).fields == {"a": 1, "7": "seven"}

    def test_cap_and_budget_cut_plain_objects_as_any_map(self, no_repr_mode):
        serialize.configure_values(no_repr_mode, (), 100)
        box = Box(**{f"field_{i}": "y" * 20 for i in range(12)})
        data = dump_msgpack([box])
        stored = unpack_value(data)[0]
        assert list(stored.fields)[-1] == "<...>" and len(stored.fields) < 12
        assert stored.fields["<...>"].text.endswith("more items>")
        serialize.configure_values(no_repr_mode, (), 0)
        fields = {f"field_{i}": "z" * 30 for i in range(15)}
        box = Box(**fields)
        rows = unpack_value(dump_msgpack([[box] * 100] * 10))  # past the dump's budget
        limit = ObjectRepr("<output limit reached>")
        assert rows[-1] == limit  # rows past the budget are its marker
        rows = [row for row in rows if isinstance(row, list)]
        boxes = [item for row in rows for item in row if isinstance(item, StoredObject)]
        whole = [b for b in boxes if b.fields == fields]
        cut = [b for b in boxes if b.fields != fields]
        assert 100 < len(whole) < 1000 and len(cut) <= 1
        assert all(b.fields["<...>"] == limit for b in cut)

    def test_plain_fields_run_no_code(self, no_repr_mode):
        class Quiet(Spy):
            def __init__(self):
                object.__setattr__(self, "n", 1)
                object.__setattr__(self, "name", "quiet")

        Spy.calls.clear()
        quiet = Quiet()
        assert dump_msgpack(quiet) == object_bytes(quiet, {"n": 1, "name": "quiet"})
        assert light(quiet) is not None and Spy.calls == []


# -- reprs known to be pure ----------------------------------------------------------


class Color(enum.Enum):
    RED = 1


class Loud(enum.Enum):
    A = 1

    def __repr__(self):
        raise AssertionError("called")


@dataclasses.dataclass
class Point:
    x: int
    y: int
    secret_note: str = dataclasses.field(default="", repr=False)


class Forged:
    """A hand-written __repr__ dressed as a generated one."""

    __dataclass_fields__: dict = {}

    def __init__(self):
        self.x = 1
        self.hidden = 2

    def __repr__(self):
        raise AssertionError("called")

    __repr__.__qualname__ = "__create_fn__.<locals>.__repr__"
    __repr__.__wrapped__ = __repr__


class TestKnownPure:
    @pytest.mark.parametrize(
        "value",
        [
            datetime.datetime(2026, 1, 2, 3, 4, 5),
            datetime.datetime(2026, 1, 2, tzinfo=datetime.timezone.utc),
            datetime.date(2026, 1, 2),
            datetime.timedelta(seconds=5),
            decimal.Decimal("1.50"),
            fractions.Fraction(1, 3),
            uuid.UUID(int=5),
            pathlib.PurePosixPath("/a/b"),
            re.compile("a+b"),
            range(3),
            Color.RED,
            len,
            ValueError("plain", 1),
        ],
        ids=repr,
    )
    def test_written_as_their_repr_when_safe(self, value):
        assert full(value) == ObjectRepr(repr(value))

    def test_fields_setting_calls_no_repr_at_all(self):
        serialize.configure_values("fields")
        assert not isinstance(full(Color.RED), ObjectRepr)
        assert isinstance(full(Point(1, 2)), StoredObject)

    def test_unsafe_variants_go_by_fields(self):
        class Zone(datetime.tzinfo):
            def utcoffset(self, dt):
                return datetime.timedelta(0)

            def __repr__(self):
                raise AssertionError("called")

        assert not isinstance(full(datetime.datetime(2026, 1, 1, tzinfo=Zone())), ObjectRepr)
        assert isinstance(full(Loud.A), StoredObject)

    def test_a_datetime_by_fields_keeps_its_parts(self):
        """A datetime or time keeps its parts in its struct: written by its fields (its
        tzinfo's repr is the program's), they are the parts its repr would show."""

        class Zone(datetime.tzinfo):
            def __init__(self):
                self.name = "zone"

            def utcoffset(self, dt):
                return datetime.timedelta(0)

            def __repr__(self):
                raise AssertionError("called")

        when = datetime.datetime(2026, 1, 2, 3, 4, 5, 6, tzinfo=Zone(), fold=1)
        stored = full(when)
        assert isinstance(stored, StoredObject) and stored.type_name == "datetime.datetime"
        zone = stored.fields.pop("tzinfo")
        assert stored.fields == dict(
            year=2026, month=1, day=2, hour=3, minute=4, second=5, microsecond=6, fold=1
        )
        assert isinstance(zone, StoredObject) and zone.fields == {"name": "zone"}
        # shown as its repr would be, the tzinfo by its fields
        shown = "datetime.datetime(2026, 1, 2, 3, 4, 5, 6, fold=1, tzinfo=Zone(name='zone'))"
        assert render.format_value(full(when)) == shown
        stored = full(datetime.time(7, 8, tzinfo=Zone(), fold=1))
        assert list(stored.fields) == ["hour", "minute", "second", "microsecond", "fold", "tzinfo"]
        assert [stored.fields[k] for k in ("hour", "minute", "second")] == [7, 8, 0]
        shown = "datetime.time(7, 8, tzinfo=Zone(name='zone'), fold=1)"
        assert render.format_value(stored) == shown
        # by fields everywhere: a naive one has no tzinfo to show
        serialize.configure_values("fields")
        assert full(datetime.datetime(2026, 1, 2)).fields == dict(
            year=2026, month=1, day=2, hour=0, minute=0, second=0, microsecond=0
        )

    def test_generated_dataclass_repr_recognised(self):
        stored = full(Point(1, 2, "private"))
        assert isinstance(stored, StoredObject)
        assert list(stored.fields.items()) == [("x", 1), ("y", 2)]  # repr=False left out
        assert render.format_value(stored) == repr(Point(1, 2))

    def test_a_copied_name_is_not_recognised(self):
        stored = full(Forged())
        assert stored.fields == {"x": 1, "hidden": 2}

    def test_attrs_generated_repr_written_from_its_fields(self, no_repr_mode):
        attr = pytest.importorskip("attr")  # hypothesis depends on attrs
        import attrs

        calls = []

        @attrs.define
        class Slots:
            x: int
            hidden: str = attrs.field(default="h", repr=False)
            tags: list = attrs.field(factory=list)

            def __getattribute__(self, name):
                calls.append(name)
                return object.__getattribute__(self, name)

        @attr.s
        class Classic:
            a = attr.ib(default=1)
            b = attr.ib(default=2, repr=lambda value: calls.append("repr") or "B")

        calls.clear()
        slots, classic = full(Slots(1)), full(Classic())
        assert calls == []
        if no_repr_mode == "safe":  # the fields the generated repr shows, in its order
            assert list(slots.fields.items()) == [("x", 1), ("tags", [])]
            assert render.format_value(slots) == "Slots(x=1, tags=[])"
        else:
            assert slots.fields == {"x": 1, "hidden": "h", "tags": []}
        assert list(classic.fields.items()) == [("a", 1), ("b", 2)]

    def test_an_attrs_lookalike_is_not_recognised(self, no_repr_mode):
        pytest.importorskip("attr")
        namespace = {"_compat": sys.modules["attr._compat"]}
        exec("def __repr__(self):\n    raise AssertionError('called')", namespace)

        class Lookalike:
            __attrs_attrs__ = ()
            __repr__ = namespace["__repr__"]  # attrs' globals, but not its generated code

            def __init__(self):
                self.x = 1

        assert full(Lookalike()).fields == {"x": 1}


# -- the byte cap --------------------------------------------------------------------


def _deep():
    return {f"k{i}": {f"j{j}": ["x" * 1000] * 100 for j in range(100)} for i in range(100)}


class TestByteCap:
    def test_deep_nesting_is_capped_with_counts(self):
        data = dump_msgpack({"value": _deep()})
        assert len(data) < 2 * serialize.DEFAULT_MAX_VALUE_BYTES
        stored = unpack_value(data)["value"]
        inner = stored["k0"]
        assert inner["<...>"] == ObjectRepr(f"<{100 - len(inner) + 1} more items>")
        assert stored["<...>"] == ObjectRepr(f"<{100 - len(stored) + 1} more items>")

    def test_each_local_is_a_value_of_its_own(self):
        big = ["y" * 900] * 100
        stored = full({"a": big, "b": big, "c": "z" * 900})
        assert stored["a"][0].startswith("y" * 100) and stored["b"][0] == stored["a"][0]
        assert stored["c"] == "z" * 900
        assert isinstance(stored["a"][-1], ObjectRepr) and "more items" in stored["a"][-1].text

    def test_cap_is_configurable(self):
        serialize.configure_values("safe", (), 0)
        assert len(dump_msgpack([["z" * 1000] * 100] * 3)) > 250_000
        serialize.configure_values("safe", (), 2000)
        assert len(dump_msgpack([["z" * 1000] * 100] * 3)) < 4000

    def test_lightweight_stays_smaller(self):
        value = {"v": _deep()["k0"]}
        assert len(dump_msgpack_lightweight_repr(value)) < len(dump_msgpack(value)) // 10


class Node:
    def __init__(self, child=None, **fields):
        self.child = child
        self.__dict__.update(fields)


def _object_tree(width, depth):
    """Objects `depth` levels deep, each holding `width` children and some text."""
    if depth == 0:
        return Node(text="t" * 300)
    return Node(None, **{f"c{i}": _object_tree(width, depth - 1) for i in range(width)})


class TestFairShare:
    def test_huge_first_field_leaves_room_for_the_rest(self, no_repr_mode):
        obj = Node(None, big={f"k{i}": "v" * 50 for i in range(1000)}, long="w" * 5000, n=7)
        obj.last = ["end"]
        fields = full(obj).fields
        assert list(fields) == ["child", "big", "long", "n", "last"]
        assert fields["child"] is None and fields["n"] == 7 and fields["last"] == ["end"]
        assert fields["big"]["<...>"].text.endswith("more items>") and len(fields["big"]) > 2
        assert fields["long"].startswith("w" * 100) and fields["long"].endswith(" more chars>")

    def test_objects_nested_past_the_object_depth_are_brief(self, no_repr_mode):
        inner = Node(Node(x=1), y=2)
        stored = full(Node(Node(inner, levels=[[[[[[1]]]]]])))
        second = stored.fields["child"]
        assert second.fields["levels"] == [[[[[[1]]]]]]  # containers keep their depth
        brief = second.fields["child"]
        assert brief.type_name.endswith("Node") and brief.address == id(inner)
        assert brief.fields == {"<...>": ObjectRepr("<2 more items>")}
        plain = full(Node(Node(Node(x=1, s="a")))).fields["child"].fields["child"]
        assert plain.fields == {"child": None, "x": 1, "s": "a"}
        # An object of no fields is its default text at any depth.
        empty = full(Node(Node(Node.__new__(Node)))).fields["child"].fields["child"]
        assert isinstance(empty, ObjectRepr) and "Node object at 0x" in empty.text

    def test_wide_objects_inside_objects_are_brief(self, no_repr_mode):
        wide = Node(None, **{f"f{i}": [i] for i in range(9)})
        narrow = Node(None, **{f"f{i}": [i] for i in range(7)})
        stored = full(Node(wide, narrow=narrow, items=[wide])).fields
        assert stored["child"].address == id(wide)
        assert stored["child"].fields == {"<...>": ObjectRepr("<10 more items>")}
        assert stored["items"][0].fields == {"<...>": ObjectRepr("<10 more items>")}
        assert stored["narrow"].fields["f6"] == [6] and len(stored["narrow"].fields) == 8
        # Whole at the top, in a container at the top, and when its fields are short plain values.
        assert full(wide).fields["f8"] == [8] and full([wide])[0].fields["f8"] == [8]
        plain = Node(None, **{f"f{i}": i for i in range(12)})
        assert full(Node(plain)).fields["child"].fields["f11"] == 11

    @pytest.mark.parametrize("cap", [512, 2048, 8192])
    def test_cap_holds_on_deep_object_graphs(self, cap):
        serialize.configure_values("safe", (), cap)
        lists = "s" * 500
        for _ in range(7):
            lists = [lists] * 10
        for value in (_object_tree(2, 12), _object_tree(10, 4), _object_tree(100, 2), lists):
            assert len(dump_msgpack(value)) < cap + 1024
            assert len(dump_msgpack([[value] * 3] * 3)) < cap + 1024

    def test_show_reads_back_what_is_written(self, tmp_path):
        script = tmp_path / "prog.py"
        script.write_text(
            "class Env:\n"
            "    def __init__(self):\n"
            "        self.filters = {f'f{i}': 'x' * 80 for i in range(500)}\n"
            "        self.inner = Env.__new__(Env)\n"
            "        self.inner.deeper = Env.__new__(Env)\n"
            "        self.inner.deeper.deepest = [1]\n"
            "        self.name = 'main-env'\n"
            "def compile(env):\n"
            "    return env.name\n"
            "compile(Env())\n"
        )
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VASK_FOLLOW")}
        vask = [sys.executable, "-m", "vask"]
        subprocess.run([*vask, "run", "prog.py"], cwd=tmp_path, env=env, check=True)
        shown = subprocess.run(
            [*vask, "traces", "show", "latest", "--color", "never", "--max-width", "100000"],
            cwd=tmp_path, env=env, check=True, capture_output=True, text=True,
        ).stdout
        line = next(x for x in shown.splitlines() if x.strip().startswith("compile("))
        assert "more items>" in line and "name='main-env'" in line and "inner=Env(" in line
        assert "deeper=Env(…=<1 more items>)" in line and "deepest" not in line


# -- settings and reading back ---------------------------------------------------------


class TestSettings:
    def test_config_keys_checked_and_normalised(self):
        checked = vask_config.check_config({"values": "fields", "repr_types": ["a.B", "c.D"]})
        assert checked["values"] == "fields" and checked["repr_types"] == "a.B,c.D"
        cap = serialize.DEFAULT_MAX_VALUE_BYTES
        assert serialize.values_from_config(checked) == ("fields", ["a.B", "c.D"], cap)
        for bad in ({"values": "all"}, {"repr_types": ["NoModule"]}, {"max_value_bytes": -1}):
            with pytest.raises(ValueError):
                vask_config.check_config(bad)

    def test_pyproject_keys(self, tmp_path):
        path = tmp_path / "pyproject.toml"
        path.write_text(
            '[tool.vask]\nvalues = "repr"\nrepr_types = ["m.Money"]\nmax_value_bytes = 100\n'
        )
        settings = vask_config.load_settings(path)
        assert (settings.values, settings.repr_types, settings.max_value_bytes) == (
            "repr",
            ["m.Money"],
            100,
        )
        path.write_text('[tool.vask]\nvalues = "everything"\n')
        with pytest.raises(vask_config.ConfigError):
            vask_config.load_settings(path)


class TestReadBack:
    def test_text_and_viewer_forms(self):
        class Box:
            pass

        box = Box()
        box.items = [1]
        box.label = "l"
        stored = full(box)
        assert render.format_value(stored) == "Box(items=[1], label='l')"
        shown = to_json(stored)
        assert shown["t"] == "object" and shown["name"] == "Box"
        assert shown["v"] == [["items", {"t": "list", "v": [1]}], ["label", "l"]]
        empty = StoredObject("m.Empty", 0x10, {})
        assert render.format_value(empty) == "<m.Empty object at 0x10>"

    def test_malformed_payload_left_as_ext(self):
        odd = msgpack.packb(msgpack.ExtType(7, msgpack.packb([1, 2])))
        assert isinstance(unpack_value(odd), msgpack.ExtType)


# -- a program that keeps lazy state in an object, traced by both engines ------------


class Statement:
    """Builds its text from a lazy generator, as a SQL formatter's statement does."""

    def __init__(self, tokens):
        self.tokens = (t.upper() for t in tokens)

    def __repr__(self):
        return " ".join(self.tokens)


def render_statement(stmt):
    return format_statement(stmt)


def format_statement(stmt):
    out = " ".join(stmt.tokens)
    return out


def run_formatter():
    return render_statement(Statement(["select", "a", "from", "t"]))


class TestTracedProgram:
    def test_lazy_state_survives_tracing(self, engine):
        untraced = run_formatter()
        result, doc = engine.run(run_formatter)
        assert result == untraced == "SELECT A FROM T"
        calls = frames_named(doc, "format_statement")
        assert calls and isinstance(calls[0]["locals"]["stmt"], StoredObject)

    def test_repr_setting_still_available(self, engine):
        result, _ = engine.run(run_formatter, config={"values": "repr"})
        assert result == ""  # what every recording repr does to such a program
