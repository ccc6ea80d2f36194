"""Property tests of the dumpers: generated values read back as a small model says.

The model states the encoding rules of :mod:`vask.serialize` in plain Python:
values as themselves, texts and binaries cut with a marker, containers cut at
the item limit and the depth limit, tuples and sets marked, keys as text
(told apart when two read alike), reprs of other objects and redacted secrets.
"""

from __future__ import annotations

import math

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from vask import serialize
from vask.serialize import (
    LIGHTWEIGHT_REPR_CHARS,
    MAX_BYTES,
    MAX_DEPTH,
    MAX_ITEMS,
    MAX_STRING_CHARS,
    OUTPUT_LIMIT_MARKER,
    TRUNCATED_KEY,
    dump_msgpack,
    dump_msgpack_lightweight_repr,
)
from vask.values import ObjectRepr, StoredSet, unpack_value


@pytest.fixture(autouse=True)
def _every_repr_called():
    """These cases are about reprs as objects write them: the "repr" setting, no byte cap."""
    serialize.configure_values("repr", (), 0)
    yield
    serialize.configure_values()


R = ObjectRepr


class Opaque:
    """An object written as its repr."""

    def __init__(self, text: str) -> None:
        self.text = text

    def __repr__(self) -> str:
        return self.text


class Raising:
    """A repr that raises while the dumpers (or the model) run, to let failures print."""

    armed = False

    def __repr__(self) -> str:
        if Raising.armed:
            raise ValueError("no")
        return "Raising()"


def armed(function, *args):
    Raising.armed = True
    try:
        return function(*args)
    finally:
        Raising.armed = False


class Text(str):
    def __iter__(self):
        raise RuntimeError("__iter__")


class Items(list):
    def __len__(self):
        raise RuntimeError("__len__")


def _cut(text: str) -> str:
    if len(text) <= MAX_STRING_CHARS:
        return text
    return f"{text[:MAX_STRING_CHARS]}...<{len(text) - MAX_STRING_CHARS} more chars>"


def _int(value: int):
    if -(2**63) <= value <= 2**64 - 1:
        return value
    return R(_cut(str(value)))


def _key(k) -> str:
    if isinstance(k, str):
        return _cut(str.__str__(k))
    if type(k) is int:
        return _cut(str(k))
    return _cut(repr(k))


def _secret(name, value) -> bool:
    return (
        isinstance(name, str)
        and value is not None
        and type(value) is not bool
        and serialize.is_secret_name(name)
    )


def model(value, depth: int = 0):
    """What :func:`dump_msgpack` writes for ``value`` (small values: no output limit)."""
    tp = type(value)
    if value is None or tp in (bool, float):
        return value
    if isinstance(value, int):
        return _int(int.__int__(value))
    if isinstance(value, str):
        return _cut(str.__str__(value))
    if tp is bytes:
        return value if len(value) <= MAX_BYTES else None  # not generated that long
    if isinstance(value, (list, tuple, set, frozenset, dict)):
        if depth >= MAX_DEPTH:
            return R(f"<{tp.__name__} nested too deep>")
        if isinstance(value, dict):
            out = {}
            for k, v in list(value.items())[:MAX_ITEMS]:
                name = _key(k)
                while name in out:
                    name += f" <{type(k).__name__}>"
                out[name] = R("<redacted>") if _secret(k, v) else model(v, depth + 1)
            if len(value) > MAX_ITEMS:
                out[TRUNCATED_KEY] = R(f"<{len(value) - MAX_ITEMS} more items>")
            return out
        # Read as the built-in type reads them: Items has a __len__ that raises.
        every = list.__getitem__(value, slice(None)) if isinstance(value, list) else list(value)
        items = [model(v, depth + 1) for v in every[:MAX_ITEMS]]
        if len(every) > MAX_ITEMS:
            items.append(R(f"<{len(every) - MAX_ITEMS} more items>"))
        if isinstance(value, tuple):
            return tuple(items)
        if isinstance(value, (set, frozenset)):
            return StoredSet(tuple(items), frozen=isinstance(value, frozenset))
        return items
    if isinstance(value, Raising):
        return R("<unrepresentable Raising>")
    return R(_cut(repr(value)))


def same(a, b) -> bool:
    """Equality that takes nan for equal to itself."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, StoredSet):
        return a.frozen == b.frozen and same(a.items, b.items)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


NAMES = st.sampled_from(
    ["x", "count", "password", "api_key", "token_count", "session", "max_tokens", "key", "keys"]
)
# Texts around the cut, built cheaply (generating them character by character is slow).
LONG_TEXT = st.builds(
    lambda head, n: head * n,
    st.sampled_from(["a", "\u00e9", "\u4e2d", "ab"]),
    st.integers(495, 1010),
)
TEXT = st.one_of(st.text(max_size=20), NAMES, LONG_TEXT)
LEAVES = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(),
    TEXT,
    st.binary(max_size=40),
    st.builds(Opaque, st.text(max_size=30)),
    st.just(Raising()),
    st.builds(Text, st.text(max_size=10)),
)
HASHABLE = st.one_of(
    st.none(), st.booleans(), st.integers(-5, 5), st.text(max_size=5), NAMES, st.floats(0, 1)
)


def containers(children):
    return st.one_of(
        st.lists(children, max_size=6),
        st.builds(lambda item, n: [item] * n, LEAVES, st.integers(MAX_ITEMS - 1, MAX_ITEMS + 2)),
        st.tuples(children, children),
        st.lists(children, max_size=4).map(tuple),
        st.lists(children, max_size=4).map(Items),
        st.frozensets(HASHABLE, max_size=5),
        st.sets(HASHABLE, max_size=5),
        st.dictionaries(
            st.one_of(NAMES, st.text(max_size=5), st.integers(0, 3)), children, max_size=6
        ),
    )


VALUES = st.recursive(LEAVES, containers, max_leaves=40)
PROPERTY = settings(
    max_examples=120,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@pytest.fixture(autouse=True)
def default_redaction():
    serialize.configure_redaction(serialize.DEFAULT_REDACT_NAMES)
    yield
    serialize.configure_redaction(serialize.DEFAULT_REDACT_NAMES)


@PROPERTY
@given(VALUES)
def test_full_form_reads_back_as_the_model_says(value):
    data = armed(dump_msgpack, value)
    # The model knows no output limit: values that reach it are for other tests.
    assume(OUTPUT_LIMIT_MARKER.encode() not in data)
    got = unpack_value(data)
    want = armed(model, value)
    assert same(got, want), (got, want)


@PROPERTY
@given(st.integers(min_value=1, max_value=MAX_DEPTH + 3), VALUES)
def test_depth_limit(depth, leaf):
    value = leaf
    for _ in range(depth):
        value = [value]
    data = armed(dump_msgpack, value)
    assume(OUTPUT_LIMIT_MARKER.encode() not in data)
    assert same(unpack_value(data), armed(model, value))


LEAF_TYPES = (type(None), bool, int, float, str, bytes)
BRACKETS = {list: "[]", tuple: "()", dict: "{}"}


def entries_text(value, depth: int = 1) -> str:
    """A dict, list or tuple holding containers or objects, as the short form writes it.

    As its built-in repr, but with the items' short reprs: nested containers
    cost no more than what can show.
    """
    tp = type(value)
    if depth > MAX_DEPTH:
        return f"<{tp.__name__} nested too deep>"

    def item(y) -> str:
        return entries_text(y, depth + 1) if type(y) in BRACKETS else short(y)

    if tp is dict:
        body = ", ".join(f"{short(k)}: {item(v)}" for k, v in value.items())
    else:
        body = ", ".join(item(y) for y in value)
        if tp is tuple and len(value) == 1:
            body += ","
    return BRACKETS[tp][0] + body + BRACKETS[tp][1]


def short(value) -> str:
    """What the lightweight form writes for ``value`` with redaction off."""
    tp = type(value)
    limit = LIGHTWEIGHT_REPR_CHARS
    if tp in (str, bytes):
        text = repr(value[:limit])
    elif tp in (float, bool) or value is None:
        return repr(value)
    elif tp in (list, tuple, dict, set, frozenset) and len(value) > limit:
        return f"<{tp.__name__} of {len(value)} items>"
    elif tp in BRACKETS and not all(
        type(y) in LEAF_TYPES for y in (value.values() if tp is dict else value)
    ):
        text = entries_text(value)
    else:
        try:
            text = repr(value)
        except ValueError:
            text = f"<unrepresentable {tp.__name__}>"
    return text if len(text) <= limit else text[:limit] + "..."


def light_value(value):
    """What the lightweight form writes for ``value``: short plain values as themselves."""
    tp = type(value)
    if value is None or tp in (bool, float):
        return value
    if (tp is int and -(2**63) <= value < 2**64) or (
        tp is str and len(value) <= LIGHTWEIGHT_REPR_CHARS
    ):
        return value
    return R(short(value))


def _same(got, expected) -> bool:
    """Equal and of one type, a NaN being the same as a NaN."""
    if isinstance(expected, float) and expected != expected:
        return isinstance(got, float) and got != got
    return type(got) is type(expected) and got == expected


@PROPERTY
@given(st.dictionaries(st.text(max_size=8), VALUES, max_size=8))
def test_lightweight_form_reads_back_as_short_reprs(frame_locals):
    serialize.configure_redaction(None)
    got = unpack_value(armed(dump_msgpack_lightweight_repr, frame_locals))
    expected = {_key(k): armed(light_value, v) for k, v in frame_locals.items()}
    assert list(got) == list(expected)
    assert all(_same(got[k], v) for k, v in expected.items()), (got, expected)
    for v in (v for v in frame_locals.values() if not isinstance(v, dict)):
        assert _same(unpack_value(armed(dump_msgpack_lightweight_repr, v)), armed(light_value, v))
    values = list(frame_locals.values())
    got = unpack_value(armed(dump_msgpack_lightweight_repr, values))
    assert got == R(armed(short, values))
